// A round trip through a data line and its echo device: the client sends a
// pseudo-random byte sequence and checks that exactly that sequence comes
// back, in order, while it is still sending. Sender and receiver keep a
// checksum each, so a run can be judged by both the byte-by-byte comparison
// and the two sums.
//
// One thread runs a stream; its progress counters may be read from others.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "line_client.h"

namespace qmx::load {

// Byte `offset` of the sequence for `seed`.
uint8_t PatternByte(uint64_t seed, uint64_t offset);

// 64-bit FNV-1a, continued from `sum` (start with kChecksumStart).
inline constexpr uint64_t kChecksumStart = 0xcbf29ce484222325ull;
uint64_t ChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size);

struct StreamOptions {
  uint64_t bytes = 0;  // how many to send; 0 sends until `stop` is set
  uint64_t seed = 1;
  Millis idleLimit{30000};  // gives up when nothing moved for this long
  Millis timeLimit{0};      // gives up after this long in all; 0: no limit
  // Most bytes sent but not yet back: keeps a late byte findable quickly.
  uint64_t window = 256 * 1024;
  const std::atomic<bool>* stop = nullptr;  // ends sending; what is in flight is awaited
  std::atomic<uint64_t>* intactCounter = nullptr;  // advanced as bytes come back intact
};

struct StreamOutcome {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t intact = 0;  // leading bytes received equal to those sent
  uint64_t sentChecksum = kChecksumStart;
  uint64_t receivedChecksum = kChecksumStart;
  Millis longestWait{0};  // longest time nothing came back while bytes were out
  std::string failure;    // empty when every byte came back; else what went wrong

  bool whole() const {
    return failure.empty() && intact == sent && received == sent &&
           sentChecksum == receivedChecksum;
  }
  std::string Describe() const;
};

// Runs the round trip on a connected socket until every byte sent is back,
// the connection ends, a byte differs, or nothing moves for the idle limit.
StreamOutcome RunEchoStream(LineSocket& socket, const StreamOptions& options);

}  // namespace qmx::load
