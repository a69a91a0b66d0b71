#include "engine/port_lifecycle.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace qmx {

int CmdClose(Parameter parameter) {
  const std::optional<std::string_view> field = FirstField(parameter, /*limited=*/false);
  if (!field) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  const bool byTcpPort = (*field)[0] >= '0' && (*field)[0] <= '9';
  switch (byTcpPort ? CloseLineByTcpPort(*field) : ClosePortByName(*field)) {
    case CloseOutcome::kControlLine:
      return SendCmdReply(kReplyDontClose);
    case CloseOutcome::kUnknownPort:
      return SendCmdReply(kReplyUnusedPort);
    case CloseOutcome::kNotOpen:
      return SendCmdReply(kReplyNotOpened);
    case CloseOutcome::kClosed:
      break;
  }
  return SendCmdReply(kReplyOk);
}

}  // namespace qmx
