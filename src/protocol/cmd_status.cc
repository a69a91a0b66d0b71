#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

struct ErrorBitText {
  uint32_t bit;
  const char* text;
};

// Every bit the driver sets: its receive thread's failures, then the line
// counters that moved (serial/serial_device.h).
constexpr ErrorBitText kErrorTexts[] = {
    {kRsWaitError, "Receive Event Error "},   // the wait for the device failed
    {kRsReadError, "Receive Handle Error "},  // a read failed, or the device hung up
    {CE_RXOVER, "Receive Queue overflow "},   // the driver's buffer overran
    {CE_OVERRUN, "Receive Overrun Error "},   // the receiver overran
    {CE_RXPARITY, "Receive Parity Error "},   // a byte failed its parity check
    {CE_FRAME, "Receive Framing error "},     // a byte came without its stop bit
    {CE_BREAK, "Break Detected "},            // the line was held in break
};

}  // namespace

std::string ErrorWordText(uint32_t word) {
  std::string text;
  for (const ErrorBitText& entry : kErrorTexts) {
    if (word & entry.bit) text += entry.text;
  }
  return text;
}

int CmdStatus(LineTable& table, Parameter parameter) {
  std::optional<std::string_view> field;
  field = FirstField(parameter, /*limited=*/false);
  if (!field) {
    std::string reply = "200 Status is:\r\n";
    for (int L = 1; L < table.LineCount(); ++L) {
      reply += std::to_string(L) + ":" + table.tcpPortText[L] + "-" +
               table.serialPortText[L] + " " + std::string(table.LineStatusText(L)) +
               "\r\n";
    }
    SendCmdReply(table, reply);
    return 0;
  }
  if (FindConfiguredPort(table, *field) < 0) return SendCmdReply(table, kReplyUnusedPort);
  int k = 0;
  while (k < table.DataLines() && !(table.serial.rsPorts[k].name[0] != '\0' &&
                                    FieldText(table.serial.rsPorts[k].name) == *field)) {
    ++k;
  }
  if (k == table.DataLines()) {
    return SendCmdReply(table, "422 " + std::string(*field) + " doesn't open\r\n");
  }
  const RsPort& port = table.serial.rsPorts[k];
  return SendCmdReply(
      table, "200 is opened by " + std::string(FieldText(port.definition)) + "," +
                 std::string(FieldText(port.flow)) + ". Port is " +
                 std::string(FieldText(table.net.tcpLines[k + 1].port)) + ". " +
                 ErrorWordText(table.serial.rsError[k].load()) + "\r\n");
}

}  // namespace qmx
