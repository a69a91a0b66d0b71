#include "engine/port_lifecycle.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace qmx {

int CmdClose(LineTable& table, Parameter parameter) {
  const std::optional<std::string_view> field = FirstField(parameter, /*limited=*/false);
  if (!field) {
    SendCmdReply(table, kReplyNoParameter);
    return 0;
  }
  const bool byTcpPort = (*field)[0] >= '0' && (*field)[0] <= '9';
  switch (byTcpPort ? CloseLineByTcpPort(table, *field)
                    : ClosePortByName(table, *field)) {
    case CloseOutcome::kControlLine:
      return SendCmdReply(table, kReplyDontClose);
    case CloseOutcome::kUnknownPort:
      return SendCmdReply(table, kReplyUnusedPort);
    case CloseOutcome::kNotOpen:
      return SendCmdReply(table, kReplyNotOpened);
    case CloseOutcome::kClosed:
      break;
  }
  return SendCmdReply(table, kReplyOk);
}

}  // namespace qmx
