#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {

std::optional<std::string> ParseReceiveParams(std::string_view parameter) {
  auto name = FirstField(parameter, /*limited=*/true);
  if (!name) return std::nullopt;
  return std::string(*name);
}

int CmdReceive(LineTable& table, Parameter parameter) {
  const std::optional<std::string> portName =
      parameter ? ParseReceiveParams(*parameter) : std::nullopt;
  if (!portName) {
    SendCmdReply(table, kReplyNoParameter);
    return 0;
  }
  const int k = FindOpenPort(table, *portName);
  if (k < 0) {
    SendCmdReply(table, kReplyNotOpen);
    return 0;
  }
  int J = 0;
  switch (AddCopyLine(table, k, *portName, &J)) {
    case CopyOutcome::kNoFreeLine:
      SendCmdReply(table, kReplyCantMoreOpen);
      return 0;
    case CopyOutcome::kListenFailed:
      SendCmdReply(table, kReplyFailedTcpServer);
      return 0;
    case CopyOutcome::kAdded:
      break;
  }
  return SendCmdReply(
      table, "200 receive data from " +
                 std::string(FieldText(table.serial.rsPorts[k].name)) + ". Port is " +
                 std::string(FieldText(table.net.tcpLines[J].port)) + "\r\n");
}

}  // namespace qmx
