#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {

std::optional<OpenRequest> ParseOpenParams(std::string_view parameter) {
  if (parameter.size() > kMaxParameterLength) return std::nullopt;
  Tokenizer fields(parameter, kParamDelimiters);
  auto name = fields.Next();
  if (!name) return std::nullopt;
  OpenRequest request;
  request.name = std::string(*name);
  std::optional<std::string>* rest[] = {&request.baud, &request.parity, &request.dataBits,
                                        &request.stopBits, &request.flow};
  for (auto* field : rest) {
    auto text = fields.Next();
    if (!text) break;
    *field = std::string(*text);
  }
  return request;
}

PortSettings MergeOpenRequest(PortSettings settings, const OpenRequest& request) {
  settings.name = request.name;
  if (request.baud) settings.baud = *request.baud;
  if (request.parity) settings.parity = *request.parity;
  if (request.dataBits) settings.dataBits = *request.dataBits;
  if (request.stopBits) settings.stopBits = *request.stopBits;
  // The definition changes only when all four line settings are given.
  if (request.stopBits) {
    settings.definition = DefinitionText(*request.baud, *request.parity,
                                         *request.dataBits, *request.stopBits);
    if (request.flow) settings.flow = *request.flow;
  }
  return settings;
}

int CmdOpen(LineTable& table, Parameter parameter) {
  const std::optional<OpenRequest> request =
      parameter ? ParseOpenParams(*parameter) : std::nullopt;
  if (!request) {
    SendCmdReply(table, kReplyNoParameter);
    return 0;
  }
  for (int L = 1; L < table.LineCount(); ++L) {
    if (table.serialPortText[L] == request->name && table.LineStatusText(L) == "OK") {
      return SendCmdReply(table, kReplyAlreadyOpened);
    }
  }
  const int k = FindConfiguredPort(table, request->name);
  if (k < 0) return SendCmdReply(table, kReplyUnusedPort);

  switch (
      OpenPortLine(table, k, MergeOpenRequest(ConfiguredSettings(table, k), *request))) {
    case OpenOutcome::kAlreadyOpen:
      return SendCmdReply(table, kReplyAlreadyOpened);
    case OpenOutcome::kDeviceFailed:
      return SendCmdReply(table, kReplyFailedComPort);
    case OpenOutcome::kListenFailed:
      SendCmdReply(table, kReplyFailedTcpServer);
      return 0;
    case OpenOutcome::kOpened:
      break;
  }
  const RsPort& port = table.serial.rsPorts[k];
  return SendCmdReply(table, "200 opened by " + std::string(FieldText(port.definition)) +
                                 "," + std::string(FieldText(port.flow)) + ". Port is " +
                                 std::string(FieldText(table.net.tcpLines[k + 1].port)) +
                                 "\r\n");
}

}  // namespace qmx
