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

int CmdReceive(Parameter parameter) {
  const std::optional<std::string> portName =
      parameter ? ParseReceiveParams(*parameter) : std::nullopt;
  if (!portName) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  const int k = FindOpenPort(*portName);
  if (k < 0) {
    SendCmdReply(kReplyNotOpen);
    return 0;
  }
  int J = 0;
  switch (AddCopyLine(k, *portName, &J)) {
    case CopyOutcome::kNoFreeLine:
      SendCmdReply(kReplyCantMoreOpen);
      return 0;
    case CopyOutcome::kListenFailed:
      SendCmdReply(kReplyFailedTcpServer);
      return 0;
    case CopyOutcome::kAdded:
      break;
  }
  return SendCmdReply("200 receive data from " + std::string(FieldText(rsPorts[k].name)) +
                      ". Port is " + std::string(FieldText(tcpLines[J].port)) + "\r\n");
}

}  // namespace qmx
