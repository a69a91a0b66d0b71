// Helpers shared by the serial tests: a scratch working directory, bounded
// waits, and reads and writes on a descriptor with a deadline.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace qmx::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Reads until `count` bytes came, the descriptor failed, or `limit` passed.
inline Bytes ReadFor(int fd, size_t count, std::chrono::milliseconds limit = 10s) {
  Bytes got(count);
  size_t have = 0;
  WaitUntil(
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
  return WaitUntil(
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

inline Bytes Pattern(size_t size, unsigned seed = 0) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
  return data;
}

// A fresh directory that is the working directory while the object lives.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qmx-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    std::filesystem::current_path(path_);
  }
  ~ScratchDirectory() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path previous_ = std::filesystem::current_path();
  std::filesystem::path path_;
};

}  // namespace qmx::testing
