// The commands that change and report lines at run time: open, close, status,
// receive. Each runs on the relay thread with engineLock held and sends
// exactly one reply; the changes to lines and ports are port_lifecycle's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/port_lifecycle.h"
#include "protocol/command_interpreter.h"

namespace qmx {

// open PORT[,BAUD[,PARITY[,DATA[,STOP[,FLOW]]]]]
int CmdOpen(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);
// The fields of an open command's parameter, as given.
struct OpenRequest {
  std::string name;
  std::optional<std::string> baud, parity, dataBits, stopBits, flow;
};
// Nothing for a missing or over-long parameter. Pure.
std::optional<OpenRequest> ParseOpenParams(std::string_view parameter);
// The settings to open with: `configured`, with the request's fields in place
// of its own; the definition changes only when all four line settings are
// given, and the flow only with them. Pure.
PortSettings MergeOpenRequest(PortSettings configured, const OpenRequest& request);

// close PORT | close TCP
int CmdClose(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);

// status | status PORT
int CmdStatus(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);
// The texts of the bits set in a port's receive error word, in report order;
// a bit without a text adds nothing.
std::string ErrorWordText(uint32_t word);

// drop TCP | drop PORT: ends the session of a data line's client; the port
// stays as it is.
int CmdDrop(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);

// stats | stats PORT: the server's counters (engine/stats.h) as key=value
// lines.
int CmdStats(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);

// receive PORT
int CmdReceive(LineTable& table, Parameter parameter) REQUIRES(table.engineLock);
// The port name of a receive command's parameter; nothing for a missing or
// over-long parameter. Pure.
std::optional<std::string> ParseReceiveParams(std::string_view parameter);

}  // namespace qmx
