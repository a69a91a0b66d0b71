// The control line's command interpreter.
//
// The relay thread hands ExecuteCommand each finished, lower-cased command
// line (ending in CR LF). The line is cut into a command word and one
// parameter token at blanks and CRs (LF and tab are not delimiters here, so a
// bare command gets the parameter "\n", which the handlers treat as none),
// the word is looked up in commandTable and its handler runs. Every reply is
// a text line beginning with a three-digit code, given to SendCmdReply.
//
// Threads: runs on the relay thread only, with engineLock held. The caller
// opens a ReplyBatch around the command; the replies are queued there, and
// the relay thread sends them in order after it has released engineLock,
// recording each one sent in the command log (a reply that cannot be sent is
// dropped and not logged).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/line_table.h"

namespace qmx {

using Parameter = std::optional<std::string_view>;
using CommandHandler = int (*)(LineTable& table, Parameter parameter);

// Who may run a command: every client, or operators alone (the commands
// that change ports, lines or the settings file).
enum class CommandAccess { kEveryone, kOperators };

struct CommandEntry {
  const char* word;
  CommandHandler handler;
  CommandAccess access;
};

extern const CommandEntry commandTable[];

// What ExecuteCommand returns when the client is no operator and the command
// is for operators alone: it replied "530 not an operator" and ran nothing.
inline constexpr int kNotAnOperator = -1;

// Runs one command line for a client; `operatorClient` false for an
// observer, which may run only the commands open to everyone.
int ExecuteCommand(LineTable& table, std::string_view line, bool operatorClient = true)
    REQUIRES(table.engineLock);
int FindCommand(std::string_view word);

// Queues one reply in the ReplyBatch open on this thread; the result is 1.
// With no batch open there is nobody to send it to: the reply is dropped and
// the result is 0.
int SendCmdReply(LineTable& table, std::string_view text) REQUIRES(table.engineLock);

// Collects the replies of one command while engineLock is held; the caller
// takes them and sends them after the lock has been released.
class ReplyBatch {
 public:
  // Made and destroyed with table.engineLock held.
  explicit ReplyBatch(LineTable& table) REQUIRES(table.engineLock);
  ~ReplyBatch();
  ReplyBatch(const ReplyBatch&) = delete;
  ReplyBatch& operator=(const ReplyBatch&) = delete;

  // Stops collecting and returns the replies in order.
  std::vector<std::string> Take();

 private:
  LineTable& table_;
  std::vector<std::string> replies_;
  std::vector<std::string>* previous_;
};

int CmdHello(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);
int CmdHelp(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);
int CmdSave(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);

// The help text of the help and ? commands.
std::string HelpText();

}  // namespace qmx
