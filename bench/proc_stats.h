// What the kernel knows about a server process, read from /proc.
//
// cpuSeconds is user + system time of the whole process (every thread, also
// ended ones) from /proc/PID/stat; it counts in clock ticks, so it suits runs
// of a second or more. runNanoseconds is the same time summed over the
// live threads' /proc/PID/task/TID/schedstat, exact to the nanosecond, which
// an idle server needs: ten idle seconds at 0.1 % of a core are one tick.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qmx::bench {

struct ProcessSample {
  double cpuSeconds = 0;
  uint64_t runNanoseconds = 0;
  uint64_t contextSwitches = 0;  // voluntary + involuntary, live threads
  uint64_t readCalls = 0;        // read-like system calls (/proc/PID/io syscr)
  uint64_t writeCalls = 0;       // write-like system calls (syscw)
  int threads = 0;               // Threads in /proc/PID/status
};

// A sample of every process in `pids`, summed. Processes that have gone
// contribute nothing.
ProcessSample SampleProcesses(const std::vector<pid_t>& pids);

// Peak resident set (VmHWM) of every process in `pids`, summed, in kB.
long PeakResidentKb(const std::vector<pid_t>& pids);

// Of the server's TCP connections to one of `clientPorts` (the benchmark's
// own local port numbers), how many have TCP_NODELAY set. The sockets are
// borrowed from the server with pidfd_getfd, which the parent of a process
// may do. Returns false (with a reason) when that is not possible.
bool CountNoDelaySockets(const std::vector<pid_t>& pids,
                         const std::vector<int>& clientPorts, int* withNoDelay,
                         int* found, std::string* error);

}  // namespace qmx::bench
