#include <string>

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

int ParseOpenParams(std::string_view parameter) {
  if (parameter.size() > kMaxParameterLength) return -1;
  Tokenizer fields(parameter, kParamDelimiters);
  auto name = fields.Next();
  if (!name) return -1;
  for (int L = 1; L < kLineCount; ++L) {
    if (serialPortText[L] == *name && LineStatusText(L) == "OK") return -2;
  }
  const int k = FindConfiguredPort(*name);
  if (k < 0) return -3;

  RsPort& port = rsPorts[k];
  CopyPortSettings(port, comSettings[k]);  // its name is the one asked for

  // The definition changes only when all four line settings are given.
  auto baud = fields.Next();
  if (!baud) return k;
  CopyField(port.baud, *baud);
  std::string definition(*baud);
  auto parity = fields.Next();
  if (!parity) return k;
  CopyField(port.parity, *parity);
  definition += ",";
  definition += *parity;
  auto data = fields.Next();
  if (!data) return k;
  CopyField(port.dataBits, *data);
  definition += ",";
  definition += *data;
  auto stop = fields.Next();
  if (!stop) return k;
  CopyField(port.stopBits, *stop);
  definition += ",";
  definition += *stop;
  CopyField(port.definition, definition);
  auto flow = fields.Next();
  if (flow) CopyField(port.flow, *flow);
  return k;
}

int CmdOpen(Parameter parameter) {
  if (!parameter) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  const int k = ParseOpenParams(*parameter);
  if (k == -1) {
    SendCmdReply(kReplyNoParameter);
    return 0;
  }
  if (k == -2) return SendCmdReply(kReplyAlreadyOpened);
  if (k == -3) return SendCmdReply(kReplyUnusedPort);

  const int L = k + 1;
  RsPort& port = rsPorts[k];
  rxQueue[k].Allocate(kQueueCapacity);
  if (!RsOpen(k)) {
    ClearPortRecord(k, /*flowToo=*/true);
    rxQueue[k].Free();
    tcpPortText[L] = kUnused;
    serialPortText[L] = kUnused;
    SetLineStatus(L, kUnused);
    return SendCmdReply(kReplyFailedComPort);
  }
  if (CCorvDoc* doc = relayDoc.load()) doc->refreshNeeded.store(1);

  CopyPortSettings(comSettings[k], port);

  if (!EnsureDataListener(L)) {
    SendCmdReply(kReplyFailedTcpServer);
    return 0;
  }
  routeTable[k].store(k);
  tcpPortText[L] = std::string(FieldText(tcpLines[L].port));
  serialPortText[L] = std::string(FieldText(port.name));
  SetLineStatus(L, "OK");
  return SendCmdReply("200 opened by " + std::string(FieldText(port.definition)) + "," +
                      std::string(FieldText(port.flow)) + ". Port is " +
                      std::string(FieldText(tcpLines[L].port)) + "\r\n");
}

}  // namespace qmx
