// The byte values of Telnet and of its COM-PORT-OPTION: commands, option
// numbers, the com port command codes and their value codes.
//
// Plain constants, no state; usable from any thread.
#pragma once

#include <cstdint>

namespace qmx::telnet {

// Telnet commands; each follows an IAC.
inline constexpr uint8_t kSe = 240;    // end of subnegotiation
inline constexpr uint8_t kNop = 241;   // no operation
inline constexpr uint8_t kAyt = 246;   // are you there
inline constexpr uint8_t kSb = 250;    // start of subnegotiation
inline constexpr uint8_t kWill = 251;  // sender will use an option
inline constexpr uint8_t kWont = 252;  // sender will not use it
inline constexpr uint8_t kDo = 253;    // sender asks the receiver to use it
inline constexpr uint8_t kDont = 254;  // sender asks the receiver not to use it
inline constexpr uint8_t kIac = 255;   // interpret as command; doubled as data

// Options this server takes part in.
inline constexpr uint8_t kOptBinary = 0;
inline constexpr uint8_t kOptEcho = 1;
inline constexpr uint8_t kOptSuppressGoAhead = 3;
inline constexpr uint8_t kOptComPort = 44;

// Com port commands from client to server; the server's answer to a command
// carries the same code plus kServerOffset.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-PARITY values (0 asks).
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kParityOdd = 2;
inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kParityMark = 4;
inline constexpr uint8_t kParitySpace = 5;

// SET-STOPSIZE values (0 asks). Note the order: 1.5 is the third.
inline constexpr uint8_t kStopOne = 1;
inline constexpr uint8_t kStopTwo = 2;
inline constexpr uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values.
inline constexpr uint8_t kControlAskFlow = 0;
inline constexpr uint8_t kControlFlowNone = 1;
inline constexpr uint8_t kControlFlowXonXoff = 2;
inline constexpr uint8_t kControlFlowHardware = 3;
inline constexpr uint8_t kControlAskBreak = 4;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlAskDtr = 7;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlAskRts = 10;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kControlAskInboundFlow = 13;
inline constexpr uint8_t kControlInboundFlowNone = 14;
inline constexpr uint8_t kControlInboundFlowXonXoff = 15;
inline constexpr uint8_t kControlInboundFlowHardware = 16;
inline constexpr uint8_t kControlFlowDcd = 17;
inline constexpr uint8_t kControlInboundFlowDtr = 18;
inline constexpr uint8_t kControlFlowDsr = 19;
inline constexpr uint8_t kControlLast = kControlFlowDsr;

// PURGE-DATA values.
inline constexpr uint8_t kPurgeReceive = 1;   // what the server holds from the device
inline constexpr uint8_t kPurgeTransmit = 2;  // what waits to go to the device
inline constexpr uint8_t kPurgeBoth = 3;

// NOTIFY-LINESTATE bits.
inline constexpr uint8_t kLineTimeout = 0x80;
inline constexpr uint8_t kLineShiftRegisterEmpty = 0x40;
inline constexpr uint8_t kLineHoldingRegisterEmpty = 0x20;
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineFramingError = 0x08;
inline constexpr uint8_t kLineParityError = 0x04;
inline constexpr uint8_t kLineOverrun = 0x02;
inline constexpr uint8_t kLineDataReady = 0x01;

// NOTIFY-MODEMSTATE bits: the lines in the high half, their changes in the low.
inline constexpr uint8_t kModemCd = 0x80;
inline constexpr uint8_t kModemRi = 0x40;
inline constexpr uint8_t kModemDsr = 0x20;
inline constexpr uint8_t kModemCts = 0x10;
inline constexpr uint8_t kModemDeltaCd = 0x08;
inline constexpr uint8_t kModemRiTrailingEdge = 0x04;
inline constexpr uint8_t kModemDeltaDsr = 0x02;
inline constexpr uint8_t kModemDeltaCts = 0x01;
inline constexpr uint8_t kModemLines = 0xF0;

}  // namespace qmx::telnet
