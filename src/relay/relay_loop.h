// The relay thread: the one thread that moves bytes between the TCP clients
// and the serial ports and runs every control-line command.
//
// Each pass (on wakeEvent; at once again while a queue still holds a full
// chunk; every 10 ms while a slow client has bytes waiting; at the latest
// after a second when idle) it drains cmdQueue completely,
// greeting, echoing and assembling command lines and executing each finished
// line; then for port index 0 to 7 writes up to 1024 bytes of txQueue[n] to
// the port; then for port index 0 to 7 sends up to 1024 bytes of rxQueue[n]
// to every data line routed to that port, in ascending line order. It ends
// when wakeEvent is closed (ServerShutdown).
//
// A data line named in Rfc2217Lines() speaks Telnet with remote port control
// (see relay/remote_line.h): its client's bytes pass through its session on
// the way to the port, and the port's bytes are escaped for it. The other
// lines pass bytes through unchanged.
//
// A command runs with engineLock held; its replies are sent after the lock is
// released. Data never passes through engineLock: the relay reads routeTable's
// atomics directly.
#pragma once

#include <cstdint>
#include <span>

namespace qmx {

class CCorvDoc;

inline constexpr int kRelayChunk = 65536;

void CorvMainThread(CCorvDoc* document);

}  // namespace qmx
