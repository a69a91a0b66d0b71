#include "protocol/command_interpreter.h"

#include "engine/line_table.h"
#include "engine/settings_file.h"
#include "platform/debug_trace.h"
#include "platform/tokenizer.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace qmx {
namespace {

constexpr std::string_view kCommandDelimiters = " \r";

}  // namespace

constexpr CommandAccess kAll = CommandAccess::kEveryone;
constexpr CommandAccess kOps = CommandAccess::kOperators;

const CommandEntry commandTable[] = {
    {"hello", CmdHello, kAll},   {"open", CmdOpen, kOps},       {"close", CmdClose, kOps},
    {"status", CmdStatus, kAll}, {"receive", CmdReceive, kOps}, {"help", CmdHelp, kAll},
    {"?", CmdHelp, kAll},        {"save", CmdSave, kOps},       {"stats", CmdStats, kAll},
    {"drop", CmdDrop, kOps},     {nullptr, nullptr, kAll},
};

ReplyBatch::ReplyBatch(LineTable& table)
    : table_(table), previous_(table.pendingReplies) {
  table.pendingReplies = &replies_;
}

ReplyBatch::~ReplyBatch() {
  table_.engineLock.AssertHeld();  // the batch lives inside the lock's scope
  if (table_.pendingReplies == &replies_) table_.pendingReplies = previous_;
}

std::vector<std::string> ReplyBatch::Take() {
  table_.engineLock.AssertHeld();
  if (table_.pendingReplies == &replies_) table_.pendingReplies = previous_;
  return std::move(replies_);
}

int SendCmdReply(LineTable& table, std::string_view text) {
  if (table.pendingReplies == nullptr) return 0;
  table.pendingReplies->emplace_back(text);
  return 1;
}

int FindCommand(std::string_view word) {
  for (int row = 0; commandTable[row].word != nullptr; ++row) {
    if (word == commandTable[row].word) return row;
  }
  return -1;
}

int ExecuteCommand(LineTable& table, std::string_view line, bool operatorClient) {
  // The line is at most 999 characters (the relay loop's line buffer); the
  // working copy takes the same bound.
  std::string copy(line.substr(0, 999));
  DebugTrace(copy);
  if (copy.empty()) return 0;
  Tokenizer tokens(copy, kCommandDelimiters);
  auto word = tokens.Next();
  if (!word) return 0;
  DebugTrace(*word);
  int row = FindCommand(*word);
  if (row < 0) {
    SendCmdReply(table, kReplyBadRequest);
    return 0;
  }
  if (!operatorClient && commandTable[row].access == CommandAccess::kOperators) {
    SendCmdReply(table, kReplyNotAnOperator);
    return kNotAnOperator;
  }
  Parameter parameter = tokens.Next();
  if (parameter) DebugTrace(*parameter);
  return commandTable[row].handler(table, parameter);
}

int CmdHello(LineTable& table, Parameter) {
  SendCmdReply(table, kReplyHello);
  return 1;
}

std::string HelpText() {
  return "200 Commands are:\r\n"
         "hello\r\n"
         "(Ex. hello)\r\n"
         "open<space>serial port[<,>boud rate<,>data<,>parity<,>stop<,>flow] \r\n"
         "(Ex. open com1,19200,n,8,1,n)\n\r"
         "receive<space>serial port\r\n(Ex. receive com1)\r\n"
         "close<space>serial port/TCP port\r\n(Ex. close com1 Ex. close 8002)\r\n"
         "status[<space>serial port]\r\n(Ex. status Ex. status com1)\r\n"
         "save\r\n(Ex. save)\r\n"
         "?,help\r\n"
         "(Ex. ? Ex. help)\r\n";
}

int CmdHelp(LineTable& table, Parameter) {
  SendCmdReply(table, HelpText());
  return 1;
}

int CmdSave(LineTable& table, Parameter) {
  if (!WriteSetupFile(table)) {
    SendCmdReply(table, kReplyCannotOpenSetup);
    return 0;
  }
  SendCmdReply(table, kReplySaved);
  return 1;
}

}  // namespace qmx
