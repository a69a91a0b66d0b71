#include "proc_stats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qmx::bench {
namespace fs = std::filesystem;
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The number after "key:" in a /proc status-like text, or 0.
uint64_t Field(const std::string& text, const std::string& key) {
  const size_t at = text.find("\n" + key + ":");
  const size_t start =
      at == std::string::npos
          ? (text.starts_with(key + ":") ? key.size() + 1 : std::string::npos)
          : at + key.size() + 2;
  if (start == std::string::npos) return 0;
  return std::strtoull(text.c_str() + start, nullptr, 10);
}

double CpuSecondsOf(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold blanks and parentheses; fields follow the last ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> skip;
  unsigned long long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void AddThreads(pid_t pid, ProcessSample* sample) {
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : fs::directory_iterator(tasks, ec)) {
    const std::string dir = entry.path().string();
    const std::string schedstat = ReadText(dir + "/schedstat");
    sample->runNanoseconds += std::strtoull(schedstat.c_str(), nullptr, 10);
    const std::string status = ReadText(dir + "/status");
    sample->contextSwitches += Field(status, "voluntary_ctxt_switches") +
                               Field(status, "nonvoluntary_ctxt_switches");
  }
}

}  // namespace

ProcessSample SampleProcesses(const std::vector<pid_t>& pids) {
  ProcessSample total;
  for (pid_t pid : pids) {
    total.cpuSeconds += CpuSecondsOf(pid);
    AddThreads(pid, &total);
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    total.threads += static_cast<int>(Field(status, "Threads"));
    const std::string io = ReadText("/proc/" + std::to_string(pid) + "/io");
    total.readCalls += Field(io, "syscr");
    total.writeCalls += Field(io, "syscw");
  }
  return total;
}

long PeakResidentKb(const std::vector<pid_t>& pids) {
  long total = 0;
  for (pid_t pid : pids) {
    const std::string status = ReadText("/proc/" + std::to_string(pid) + "/status");
    total += static_cast<long>(Field(status, "VmHWM"));
  }
  return total;
}

bool CountNoDelaySockets(const std::vector<pid_t>& pids,
                         const std::vector<int>& clientPorts, int* withNoDelay,
                         int* found, std::string* error) {
  *withNoDelay = 0;
  *found = 0;
  for (pid_t pid : pids) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
      *error = std::string("pidfd_open: ") + std::strerror(errno);
      return false;
    }
    std::error_code ec;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
      const std::string target = fs::read_symlink(entry.path(), ec).string();
      if (!target.starts_with("socket:")) continue;
      const int number = std::atoi(entry.path().filename().c_str());
      const int fd = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, number, 0));
      if (fd < 0) {
        *error = std::string("pidfd_getfd: ") + std::strerror(errno);
        ::close(pidfd);
        return false;
      }
      // A dual-stack listener's clients are IPv6 sockets with IPv4-mapped
      // peers; both families keep the port in the same place.
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      int peerPort = -1;
      if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        if (peer.ss_family == AF_INET)
          peerPort = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
        if (peer.ss_family == AF_INET6)
          peerPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
      }
      if (std::find(clientPorts.begin(), clientPorts.end(), peerPort) !=
          clientPorts.end()) {
        int on = 0;
        socklen_t size = sizeof on;
        ++*found;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on != 0) {
          ++*withNoDelay;
        }
      }
      ::close(fd);
    }
    ::close(pidfd);
  }
  return true;
}

}  // namespace qmx::bench
