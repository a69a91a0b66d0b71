#include "engine/corv_doc.h"
#include "engine/line_table.h"
#include "engine/startup.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

void MarkRefresh() {
  if (CCorvDoc* doc = relayDoc.load()) doc->refreshNeeded.store(1);
}

int CloseByTcpPort(std::string_view field) {
  if (field == tcpPortText[0]) return SendCmdReply(kReplyDontClose);
  int L = 1;
  while (L < kLineCount && tcpPortText[L] != field) ++L;
  if (L == kLineCount) return SendCmdReply(kReplyUnusedPort);
  int error = 0;
  TcpDisconnect(L, &error);  // the line's receive thread has ended on return
  tcpPortText[L] = kUnused;
  SetLineStatus(L, kUnused);
  txQueue[L - 1].Free();
  if (serialPortText[L].starts_with("com")) ClosePortAndQueue(L - 1);
  serialPortText[L] = kUnused;
  routeTable[L - 1].store(-1);
  int sent = SendCmdReply(kReplyOk);
  MarkRefresh();
  return sent;
}

int CloseByPortName(std::string_view field) {
  if (FindConfiguredPort(field) < 0) return SendCmdReply(kReplyUnusedPort);
  int L = 1;
  while (L < kLineCount && !(serialPortText[L] == field && LineStatusText(L) == "OK")) ++L;
  if (L == kLineCount) return SendCmdReply(kReplyNotOpened);
  const int k = L - 1;
  ClosePortAndQueue(k);
  for (int M = 1; M < kLineCount; ++M) {
    if (routeTable[M - 1].load() != k) continue;
    int error = 0;
    TcpDisconnect(M, &error);
    txQueue[M - 1].Free();
    routeTable[M - 1].store(-1);
    tcpPortText[M] = kUnused;
    serialPortText[M] = kUnused;
    SetLineStatus(M, kUnused);
  }
  int sent = SendCmdReply(kReplyOk);
  MarkRefresh();
  return sent;
}

}  // namespace

int CmdClose(Parameter parameter) {
  std::optional<std::string_view> field;
  if (parameter) {
    Tokenizer fields(*parameter, kParamDelimiters);
    field = fields.Next();
  }
  if (!field) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  if ((*field)[0] >= '0' && (*field)[0] <= '9') return CloseByTcpPort(*field);
  return CloseByPortName(*field);
}

}  // namespace qmx
