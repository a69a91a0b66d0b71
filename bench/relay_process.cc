#include "relay_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qmx::bench {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

std::string MakeWorkDirectory(const std::string& name) {
  std::string pattern = "/tmp/qmx-bench-" + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Starts argv[0] with `directory` as its working directory and its standard
// output and error in `logPath`. Returns the pid or -1.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& directory,
            const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (::chdir(directory.c_str()) != 0) ::_exit(126);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(log);
  return pid;
}

// True while `pid` has not ended; reaps it when it has.
bool StillRunning(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == 0; }

}  // namespace

int FreeTcpPort() {
  static std::vector<int> handedOut;
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (fd < 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd >= 0) ::close(fd);
      return -1;
    }
    ::close(fd);
    const int port = ntohs(address.sin_port);
    if (std::find(handedOut.begin(), handedOut.end(), port) == handedOut.end()) {
      handedOut.push_back(port);
      return port;
    }
  }
}

std::string QmxSettingsText(int controlPort, const std::vector<int>& dataPorts) {
  std::string text = "QMX benchmark settings\r\n";
  text += std::to_string(controlPort) + "\tcontrol line\r\n";
  for (size_t k = 0; k < 8; ++k) {
    if (k < dataPorts.size()) {
      text += std::to_string(dataPorts[k]) + ",com" + std::to_string(k + 1) + "\r\n";
    } else {
      text += "unused,unused\r\n";
    }
  }
  const auto port = [](size_t k) {
    return "com" + std::to_string(k) + ",115200,n,8,1,n\r\n";
  };
  for (size_t k = 1; k <= 8; ++k) text += port(k);
  text += "0\r\n";
  for (size_t k = 9; k <= dataPorts.size(); ++k) {
    text += std::to_string(dataPorts[k - 1]) + ",com" + std::to_string(k) + "\r\n";
    text += port(k);
  }
  return text;
}

bool StartQmx(const std::string& qmxdPath, const std::vector<std::string>& ptyPaths,
              Relay* relay, std::string* error, const TlsIdentity* tls) {
  relay->name = "qmx";
  relay->workDirectory = MakeWorkDirectory("qmx");
  if (relay->workDirectory.empty()) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  for (size_t k = 0; k < ptyPaths.size(); ++k) {
    relay->dataPorts.push_back(FreeTcpPort());
    std::error_code ec;
    fs::create_symlink(ptyPaths[k], relay->workDirectory + "/com" + std::to_string(k + 1),
                       ec);
    if (ec) {
      *error = "cannot link com" + std::to_string(k + 1) + ": " + ec.message();
      return false;
    }
  }
  std::ofstream(relay->workDirectory + "/qmx.txt", std::ios::binary)
      << QmxSettingsText(FreeTcpPort(), relay->dataPorts);
  const std::string log = relay->workDirectory + "/qmxd.log";
  relay->logs.push_back(log);
  std::vector<std::string> argv = {qmxdPath};
  if (ptyPaths.size() > 8)
    argv.insert(argv.end(), {"--lines", std::to_string(ptyPaths.size())});
  if (tls != nullptr) {
    argv.insert(argv.end(), {"--tls", "1", "--tls-cert", tls->certificateFile,
                             "--tls-key", tls->keyFile});
  }
  const pid_t pid = Spawn(argv, relay->workDirectory, log);
  if (pid < 0) {
    *error = "cannot start " + qmxdPath;
    return false;
  }
  relay->pids.push_back(pid);
  return true;
}

bool StartSocat(const std::string& socatPath, const std::vector<std::string>& ptyPaths,
                Relay* relay, std::string* error, const TlsIdentity* tls) {
  relay->name = "socat";
  relay->workDirectory = MakeWorkDirectory("socat");
  if (relay->workDirectory.empty()) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  for (size_t k = 0; k < ptyPaths.size(); ++k) {
    const int port = FreeTcpPort();
    relay->dataPorts.push_back(port);
    const std::string log =
        relay->workDirectory + "/socat" + std::to_string(k + 1) + ".log";
    relay->logs.push_back(log);
    const std::string listen =
        tls != nullptr && k == 0
            ? "OPENSSL-LISTEN:" + std::to_string(port) + ",cert=" + tls->certificateFile +
                  ",key=" + tls->keyFile + ",verify=0,reuseaddr,nodelay"
            : "TCP-LISTEN:" + std::to_string(port) + ",reuseaddr,nodelay";
    const pid_t pid = Spawn({socatPath, listen, "OPEN:" + ptyPaths[k] + ",rawer"},
                            relay->workDirectory, log);
    if (pid < 0) {
      *error = "cannot start " + socatPath;
      return false;
    }
    relay->pids.push_back(pid);
  }
  return true;
}

std::string StopRelay(Relay* relay) {
  std::string note;
  for (pid_t pid : relay->pids) ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (pid_t pid : relay->pids) {
    int status = 0;
    bool running = StillRunning(pid, &status);
    while (running && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      running = StillRunning(pid, &status);
    }
    if (running) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      note += relay->name + " pid " + std::to_string(pid) + " ignored SIGTERM; killed. ";
    } else if (relay->name == "qmx" && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      note += "qmxd ended with status " + std::to_string(status) + ". ";
    }
  }
  relay->pids.clear();
  std::error_code ec;
  if (!relay->workDirectory.empty()) fs::remove_all(relay->workDirectory, ec);
  return note;
}

std::string RelayEnded(const Relay& relay) {
  for (pid_t pid : relay.pids) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
            0 &&
        info.si_pid == pid) {
      const std::string program = relay.name == "qmx" ? "qmxd" : relay.name;
      return program +
             (info.si_code == CLD_EXITED ? " exited with status "
                                         : " was killed by signal ") +
             std::to_string(info.si_status);
    }
  }
  return {};
}

std::string RelayLogTail(const Relay& relay) {
  std::string tail;
  for (const std::string& path : relay.logs) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    if (content.size() > 600) content = "..." + content.substr(content.size() - 600);
    if (!content.empty()) tail += fs::path(path).filename().string() + ": " + content;
  }
  return tail;
}

int ConnectClient(int port, double seconds, const std::function<bool()>& giveUp,
                  int* localPort) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  while (Clock::now() < deadline && !giveUp()) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      socklen_t length = sizeof address;
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
      *localPort = ntohs(address.sin_port);
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace qmx::bench
