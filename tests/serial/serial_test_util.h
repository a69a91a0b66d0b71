// Helpers shared by the serial tests: reads and writes on a descriptor or a
// port with a deadline, test patterns, and the shared test support's devices,
// scratch folders and bounded waits.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "serial/rs_port.h"
#include "testsupport/process_table.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
#include "testsupport/wait_for.h"

namespace qmx::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using testsupport::PtyDevice;
using testsupport::ScratchDir;
using testsupport::WaitFor;

// Reads until `count` bytes came, the descriptor failed, or `limit` passed.
inline Bytes ReadFor(int fd, size_t count, std::chrono::milliseconds limit = 10s) {
  Bytes got(count);
  size_t have = 0;
  WaitFor(
      [&] {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n =
            ::poll(&p, 1, 10) > 0 ? ::read(fd, got.data() + have, count - have) : -2;
        if (n > 0) have += static_cast<size_t>(n);
        return have == count || n == 0 || (n == -1 && errno != EAGAIN);
      },
      limit);
  got.resize(have);
  return got;
}

// Writes everything, waiting for room on a non-blocking descriptor.
inline bool WriteAll(int fd, const Bytes& data) {
  size_t done = 0;
  return WaitFor(
             [&] {
               const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
               if (n > 0) done += static_cast<size_t>(n);
               pollfd p{fd, POLLOUT, 0};
               if (done < data.size()) ::poll(&p, 1, 10);
               return done == data.size() || (n < 0 && errno != EAGAIN);
             },
             60s) &&
         done == data.size();
}

// Writes everything to open port n as the relay does: what RsWriteNow takes
// at once, then a wait on the port's descriptor for room. False when the port
// refused a write or `limit` passed.
inline bool WriteToPort(int n, const Bytes& data, std::chrono::milliseconds limit = 10s) {
  size_t done = 0;
  bool refused = false;
  WaitFor(
      [&] {
        const int written = Ports().RsWriteNow(n, data.data() + done,
                                               static_cast<int>(data.size() - done));
        if (written < 0) return refused = true;
        done += static_cast<size_t>(written);
        pollfd p{Ports().RsWaitHandle(n), POLLOUT, 0};
        if (done < data.size()) ::poll(&p, 1, 10);
        return done == data.size();
      },
      limit);
  return !refused && done == data.size();
}

inline Bytes Pattern(size_t size, unsigned seed = 0) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return data;
}

}  // namespace qmx::testing
