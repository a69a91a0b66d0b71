// The relay thread: the one thread that moves bytes between the TCP clients
// and the serial ports and runs every control-line command.
//
// Each pass (on wakeEvent; at once again while a queue still holds a full
// chunk; as soon as a kept-back client or device can take more, and every
// 10 ms while one has bytes waiting; at the latest after a second when idle)
// it runs the window's requests (CCorvDoc::Requests), then drains cmdQueue
// completely, greeting, echoing and assembling command
// lines and executing each finished line; then for each port writes up to
// kRelayChunk bytes of txQueue[n] to the port; then for each port sends up
// to kRelayChunk bytes of rxQueue[n] to every data line routed to that port,
// in ascending line order. Each pass starts one port further on than the
// last. It ends when wakeEvent is closed (ServerShutdown).
//
// The serial and client sends also run on the receive threads: after a
// receive thread queued bytes it tries the turns of what it sends to (a port,
// or the lines routed to a port: mutexes the relay thread takes in its place
// for its own sends) and, when it gets them, moves its queue on itself; the
// relay thread is woken only for what that leaves. So bytes keep their
// order, and a port's copy lines get them in line order, whichever thread
// sends them. Commands run on the relay thread alone.
//
// A data line named in Rfc2217Lines() speaks Telnet with remote port control
// (see relay/remote_line.h): its client's bytes pass through its session on
// the way to the port, and the port's bytes are escaped for it. Its bytes,
// and those of a port it is routed to, always go through the relay thread;
// the other lines pass bytes through unchanged and keep their shortcuts.
//
// A command runs with engineLock held; its replies are sent after the lock is
// released. Data never passes through engineLock: the relay reads routeTable's
// atomics directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qmx {

// The most the relay moves from one queue in one step: a whole queue, so one
// queue lock, one copy and one write per wake-up. With 1024 (and 5000-byte
// queues) `qmx-bench --quick` measured 16.8 MB/s client to device, 34.1
// device to client and 49.2 for eight lines; with 65536 (and 65536-byte
// queues) 118.7, 215.8 and 227.9, and 403 instead of 1661 system calls per MB.
//
// Fairness: a line's bytes wait behind at most one chunk of its own port's
// or its own line's sends, never behind another line's: each port and each
// data line has a turn of its own. `qmx-bench`'s busy phase (round trips on
// line 1 while lines 2-8 stream both ways) measured, against socat in the
// same run, 1.3-2.4x socat's round trip with one turn per direction shared
// by all lines, and 0.7-1.2x with a turn per port and per line. A smaller
// chunk did not help: 16384 left the busy round trips where they were, and
// 4096 cut client-to-device throughput to 0.7x socat's.
inline constexpr int kRelayChunk = 65536;

// How far a copy line's client may fall behind its port before it is
// dropped: four relay chunks, so a client that reads in bursts (a busy
// machine, a slow link) keeps up, while seven such clients cost at most
// 1.8 MB.
inline constexpr size_t kCopyBacklogLimit = 4 * kRelayChunk;

}  // namespace qmx
