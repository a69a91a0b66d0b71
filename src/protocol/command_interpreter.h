// The control line's command interpreter.
//
// The relay thread hands ExecuteCommand each finished, lower-cased command
// line (ending in CR LF). The line is cut into a command word and one
// parameter token at blanks and CRs (LF and tab are not delimiters here, so a
// bare command gets the parameter "\n", which the handlers treat as none),
// the word is looked up in commandTable and its handler runs. Every reply is
// a text line beginning with a three-digit code, sent with SendCmdReply,
// which also records it in the command log.
//
// Threads: runs on the relay thread only, with engineLock held. Replies made
// while a command runs are queued (see ReplyBatch) and sent by the relay thread
// after it has released engineLock, in order; a reply that cannot be sent is
// dropped and not logged.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/line_table.h"

namespace qmx {

using Parameter = std::optional<std::string_view>;
using CommandHandler = int (*)(Parameter parameter);

struct CommandEntry {
  const char* word;
  CommandHandler handler;
};

extern const CommandEntry commandTable[];

int ExecuteCommand(std::string_view line) REQUIRES(engineLock);
int FindCommand(std::string_view word);

// Sends one reply on the control line and logs it when it was sent. Inside a
// ReplyBatch the reply is queued instead and the result is 1.
int SendCmdReply(std::string_view text);

// Collects the replies of one command while engineLock is held. Send() then
// delivers them, after the lock has been released.
class ReplyBatch {
 public:
  ReplyBatch();
  ~ReplyBatch();
  ReplyBatch(const ReplyBatch&) = delete;
  ReplyBatch& operator=(const ReplyBatch&) = delete;

  // Stops collecting and returns the replies in order.
  std::vector<std::string> Take();

 private:
  std::vector<std::string> replies_;
  std::vector<std::string>* previous_;
};

// Sends queued replies one by one with SendCmdReply (engineLock not held).
void SendReplies(const std::vector<std::string>& replies);

int CmdHello(Parameter parameter) REQUIRES(engineLock);
int CmdHelp(Parameter parameter) REQUIRES(engineLock);
int CmdSave(Parameter parameter) REQUIRES(engineLock);

// The help text of the help and ? commands.
std::string HelpText();

}  // namespace qmx
