#include <string>

#include "engine/corv_doc.h"
#include "engine/line_table.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {

int ParseReceiveParams(std::string_view parameter, std::string* portName) {
  if (parameter.size() > kMaxParameterLength) return -1;
  Tokenizer fields(parameter, kParamDelimiters);
  auto name = fields.Next();
  if (!name) return -1;
  *portName = std::string(*name);
  for (int L = 1; L < kLineCount; ++L) {
    if (serialPortText[L] == *name && LineStatusText(L) == "OK") return L - 1;
  }
  return -2;
}

int CmdReceive(Parameter parameter) {
  if (!parameter) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  std::string portName;
  const int k = ParseReceiveParams(*parameter, &portName);
  if (k == -1) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  if (k == -2) {
    SendCmdReply(kReplyNotOpen);
    return 0;
  }
  int i = 0;
  while (i < kPortCount && routeTable[i].load() != -1) ++i;
  if (i == kPortCount) {
    SendCmdReply(kReplyCantMoreOpen);
    return 0;
  }
  const int J = i + 1;
  if (!EnsureDataListener(J)) {
    SendCmdReply(kReplyFailedTcpServer);
    return 0;
  }
  tcpPortText[J] = std::string(FieldText(tcpLines[J].port));
  routeTable[i].store(k);
  serialPortText[J] = "receive " + portName;
  SetLineStatus(J, "OK");
  if (CCorvDoc* doc = relayDoc.load()) doc->refreshNeeded.store(1);
  return SendCmdReply("200 receive data from " + std::string(FieldText(rsPorts[k].name)) +
                      ". Port is " + std::string(FieldText(tcpLines[J].port)) + "\r\n");
}

}  // namespace qmx
