// The commands that change and report lines at run time: open, close, status,
// receive. Each runs on the relay thread with engineLock held and sends
// exactly one reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/command_interpreter.h"

namespace qmx {

// open PORT[,BAUD[,PARITY[,DATA[,STOP[,FLOW]]]]]
int CmdOpen(Parameter parameter);
// Port index to open, or -1 no/over-long parameter, -2 already open, -3 no
// such configured port. Fills rsPorts[k] on success.
int ParseOpenParams(std::string_view parameter);

// close PORT | close TCP
int CmdClose(Parameter parameter);

// status | status PORT
int CmdStatus(Parameter parameter);
// The texts of the bits set in a port's receive error word, in report order.
std::string ErrorWordText(uint32_t word);

// receive PORT
int CmdReceive(Parameter parameter);
// Port index to copy, or -1 no/over-long parameter, -2 port not in service.
// `portName` receives the parameter as cut after the port name.
int ParseReceiveParams(std::string_view parameter, std::string* portName);

}  // namespace qmx
