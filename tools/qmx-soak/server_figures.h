// What a running server process holds, read from /proc: open descriptors,
// threads and resident memory. Any thread may sample any process it can see.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace qmx::load {

struct ServerFigures {
  int descriptors = -1;     // entries of /proc/PID/fd; -1 when unreadable
  int threads = -1;         // entries of /proc/PID/task
  int64_t residentKb = -1;  // VmRSS
};

ServerFigures SampleServer(pid_t pid);

// Keeps the largest of each figure seen.
void KeepPeak(ServerFigures& peak, const ServerFigures& now);

}  // namespace qmx::load
