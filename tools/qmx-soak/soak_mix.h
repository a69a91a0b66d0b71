// The mix a soak runs: one worker per role (see soak_options.h for which
// line does what), all at once until told to stop, counting into a Tally.
//
// Threads: RunMix starts the workers and a sampler of the server's figures,
// waits for the time to pass, stops and joins them all. The tally's counters
// are atomics; its error list has its own lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "line_client.h"
#include "server_figures.h"
#include "soak_options.h"
#include "soak_server.h"

namespace qmx::soak {

inline constexpr int kChurnKinds = static_cast<int>(load::ChurnKind::kCount);

struct Tally {
  // Lines 1-4.
  std::atomic<uint64_t> sessions{0}, bytesSent{0}, bytesBack{0}, bytesLost{0};
  std::atomic<int64_t> longestPauseMs{0};
  // Line 5.
  std::array<std::atomic<uint64_t>, kChurnKinds> churn{};
  std::atomic<uint64_t> probes{0};
  // Line 6.
  std::atomic<uint64_t> stalls{0}, stallsDropped{0}, stallsTold{0};
  // Line 7.
  std::atomic<uint64_t> deviceFaults{0}, deviceRecovered{0};
  // Line 8.
  std::atomic<uint64_t> openCloseCycles{0}, hopperRoundTrips{0};
  // Control line.
  std::atomic<uint64_t> statusRuns{0}, garbageBursts{0};
  // Hostile control clients: ones that leave half a command and unread
  // replies behind, ones that stop reading (and how many were dropped).
  std::atomic<uint64_t> departedClients{0}, controlStalls{0}, controlStallsDropped{0};
  std::atomic<int64_t> longestReplyMs{0};
  // The server.
  load::ServerFigures start, peak, last;

  void Error(const std::string& what);
  uint64_t ErrorCount() const;
  std::map<std::string, uint64_t> Errors() const;

 private:
  mutable std::mutex errorMutex_;
  std::map<std::string, uint64_t> errors_;
};

// Runs the mix against `server` for options.seconds, with `control` as the
// control session (already connected; the server's figures at rest with it
// are in tally.start). `progress` is called every options.reportEvery
// seconds with the seconds elapsed. On return `control` is again one
// connected session (or none when the server stopped serving), so the
// figures can be compared with the start.
void RunMix(const Options& options, SoakServer& server, Tally& tally,
            std::unique_ptr<load::ControlSession>& control,
            const std::function<void(int)>& progress);

}  // namespace qmx::soak
