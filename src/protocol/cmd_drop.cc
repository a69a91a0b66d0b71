// drop TCP | drop PORT: ends the session of the client on a data line, named
// by its TCP port or by the serial port it bridges, so that the next client
// waiting for the line is served. The port, its settings and its modem lines
// stay as they are; only the client goes.
#include <string>

#include "engine/line_table.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace qmx {
namespace {

// The data line `name` means: the one listening on that TCP port, or the one
// bridging the port of that name; 0 for the control line, -1 for none.
int NamedLine(LineTable& table, std::string_view name) REQUIRES(table.engineLock) {
  if (name == table.tcpPortText[0]) return 0;
  for (int L = 1; L < table.LineCount(); ++L) {
    if (table.tcpPortText[L] == name) return L;
  }
  const int k = FindOpenPort(table, name);
  if (k >= 0 && table.routeTable[k].load() == k) return k + 1;
  return -1;
}

}  // namespace

int CmdDrop(LineTable& table, Parameter parameter) {
  const std::optional<std::string_view> field = FirstField(parameter, /*limited=*/true);
  if (!field) return SendCmdReply(table, kReplyNoParameter);
  const int L = NamedLine(table, *field);
  if (L == 0) return SendCmdReply(table, kReplyNotADataLine);
  if (L < 0) return SendCmdReply(table, kReplyUnusedPort);
  const uint64_t client = table.net.TcpClientSerial(L);
  const std::string name = table.net.TcpClientName(L);
  if (name.empty()) return SendCmdReply(table, kReplyNoClient);
  table.net.TcpDropClient(L, client, DropReason::kOperator);
  return SendCmdReply(table, "200 dropped " + name + "\r\n");
}

}  // namespace qmx
