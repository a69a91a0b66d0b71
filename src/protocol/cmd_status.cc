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

constexpr ErrorBitText kErrorTexts[] = {
    {kRsWaitError, "Receive Event Error "},
    {kRsReadError, "Receive Handle Error "},
    {CE_RXOVER, "Receive Queue overflow "},
    {CE_OVERRUN, "Receive Overrun Error "},
    {CE_RXPARITY, "Receive Parity Error "},
    {CE_FRAME, "Receive Framing error "},
    {CE_BREAK, "Break Detected "},
    {CE_TXFULL, "TX Queue is full "},
    {CE_PTO, "LPTx Timeout "},
    {CE_IOE, "LPTx I/O Error "},
    {CE_DNS, "LPTx Device not selected "},
    {CE_OOP, "LPTx Out-Of-Paper "},
    {CE_MODE, "Requested mode unsupported "},
};

}  // namespace

std::string ErrorWordText(uint32_t word) {
  std::string text;
  for (const ErrorBitText& entry : kErrorTexts) {
    if (word & entry.bit) text += entry.text;
  }
  return text;
}

int CmdStatus(Parameter parameter) {
  std::optional<std::string_view> field;
  field = FirstField(parameter, /*limited=*/false);
  if (!field) {
    std::string reply = "200 Status is:\r\n";
    for (int L = 1; L < kLineCount; ++L) {
      reply += std::to_string(L) + ":" + tcpPortText[L] + "-" + serialPortText[L] + " " +
               std::string(LineStatusText(L)) + "\r\n";
    }
    SendCmdReply(reply);
    return 0;
  }
  if (FindConfiguredPort(*field) < 0) return SendCmdReply(kReplyUnusedPort);
  int k = 0;
  while (k < kPortCount &&
         !(rsPorts[k].name[0] != '\0' && FieldText(rsPorts[k].name) == *field)) {
    ++k;
  }
  if (k == kPortCount) {
    return SendCmdReply("422 " + std::string(*field) + " doesn't open\r\n");
  }
  const RsPort& port = rsPorts[k];
  return SendCmdReply("200 is opened by " + std::string(FieldText(port.definition)) +
                      "," + std::string(FieldText(port.flow)) + ". Port is " +
                      std::string(FieldText(tcpLines[k + 1].port)) + ". " +
                      ErrorWordText(rsError[k].load()) + "\r\n");
}

}  // namespace qmx
