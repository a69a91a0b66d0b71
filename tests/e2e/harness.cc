#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <functional>
#include <stdexcept>

#include "engine/line_table.h"
#include "engine/startup.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"

namespace qmx::test {
namespace fs = std::filesystem;

TempDir::TempDir() {
  char pattern[] = "/tmp/qmx-test-XXXXXX";
  char* made = ::mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
  previous_ = fs::current_path().string();
  fs::current_path(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempDir::ReadFile(const std::string& name) const {
  std::ifstream in(path_ + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int FreeTcpPort() {
  // Ports from the kernel's ephemeral range are handed out once each here, so
  // two parts of one test never get the same port.
  static std::mutex mutex;
  static std::vector<int> handedOut;
  std::lock_guard lock(mutex);
  for (;;) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    int port = ntohs(a.sin_port);
    bool seen = false;
    for (int p : handedOut) seen = seen || p == port;
    if (!seen) {
      handedOut.push_back(port);
      return port;
    }
  }
}

PtyDevice::PtyDevice(const std::string& linkName, bool echo) : link_(linkName) {
  char name[128];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath_ = name;
  termios t{};
  ::tcgetattr(slave_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave_, TCSANOW, &t);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  std::error_code ec;
  fs::remove(link_, ec);
  fs::create_symlink(slavePath_, link_);
  if (echo) {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    echo_ = std::thread([this] { EchoLoop(); });
  }
}

PtyDevice::~PtyDevice() {
  if (echo_.joinable()) {
    uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    echo_.join();
    ::close(stopFd_);
  }
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  std::error_code ec;
  fs::remove(link_, ec);
}

void PtyDevice::EchoLoop() {
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) {
      ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        ssize_t off = 0;
        while (off < n) {
          ssize_t w = ::write(master_, buffer + off, static_cast<size_t>(n - off));
          if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
          }
          off += w;
        }
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      std::this_thread::sleep_for(10ms);
    }
  }
}

void PtyDevice::Write(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw std::runtime_error("pty write failed");
    }
    off += static_cast<size_t>(n);
  }
}

std::string PtyDevice::Read(size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

void PtyDevice::Hangup() {
  if (echo_.joinable()) {  // the echo thread must not poll a closed descriptor
    uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    echo_.join();
  }
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

// A socket address for an IPv4 or IPv6 literal; its length, 0 when the text
// is neither.
static socklen_t MakeAddress(const std::string& address, int port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(*v4);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(*v6);
  }
  return 0;
}

TcpClient::TcpClient(int port) : TcpClient("127.0.0.1", port) {}

TcpClient::TcpClient(const std::string& address, int port, const std::string& source) {
  sockaddr_storage to{};
  const socklen_t length = MakeAddress(address, port, &to);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (length != 0 && std::chrono::steady_clock::now() < deadline) {
    int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!source.empty()) {
      sockaddr_storage from{};
      const socklen_t fromLength = MakeAddress(source, 0, &from);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&from), fromLength) != 0) {
        ::close(fd);
        return;
      }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return;
    }
    ::close(fd);
    std::this_thread::sleep_for(20ms);
  }
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::Send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<size_t>(n);
  }
}

static std::string ReadWhile(int fd, std::chrono::milliseconds timeout,
                             const std::function<bool(const std::string&)>& more) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[8192];
  while (fd >= 0 && more(out)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string TcpClient::ReadUntil(const std::string& expected,
                                 std::chrono::milliseconds timeout) {
  return ReadWhile(fd_, timeout, [&](const std::string& s) {
    return s.find(expected) == std::string::npos;
  });
}

std::string TcpClient::ReadCount(size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[8192];
  while (fd_ >= 0 && out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string TcpClient::Drain(std::chrono::milliseconds quiet) {
  std::string out;
  char buffer[8192];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return out;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool TcpClient::WaitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

ControlClient::ControlClient(int port) : TcpClient(port) {
  greeting_ = ReadUntil("ready\r\n");
}

static bool ReplyComplete(const std::string& r) {
  if (r.size() < 2 || r.compare(r.size() - 2, 2, "\r\n") != 0) return false;
  if (r.rfind("200 Commands are", 0) == 0) return r.find("(Ex. ? Ex. help)\r\n") != std::string::npos;
  if (r.rfind("200 Status is:", 0) == 0) return r.find("\r\n8:") != std::string::npos;
  return true;
}

std::string ControlClient::Command(const std::string& command) {
  Send(command + "\r");
  const std::string echo = command + "\r\n";
  std::string got = ReadWhile(fd(), 10s, [&](const std::string& s) {
    size_t at = s.find(echo);
    return at == std::string::npos || !ReplyComplete(s.substr(at + echo.size()));
  });
  size_t at = got.find(echo);
  return at == std::string::npos ? got : got.substr(at + echo.size());
}

void MissingDevice(const std::string& name) {
  std::error_code ec;
  fs::remove(name, ec);
  fs::create_symlink("/dev/qmx-test-no-such-device", name);
}

bool Listening(const std::string& address, int port) {
  sockaddr_storage to{};
  const socklen_t length = MakeAddress(address, port, &to);
  if (length == 0) return false;
  int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0;
  ::close(fd);
  return ok;
}

bool Listening(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

Settings::Settings() {
  for (int L = 1; L < 9; ++L) {
    tcp[L] = "unused";
    serial[L] = "unused";
  }
  for (int n = 0; n < 8; ++n) com[n] = "com" + std::to_string(n + 1) + ",9600,n,8,1,n";
}

std::string Settings::Text() const {
  std::string out = first + control + "\t\r\n";
  for (int L = 1; L < 9; ++L) out += tcp[L] + "," + serial[L] + "\t\r\n";
  for (int n = 0; n < 8; ++n) out += com[n] + "\t\r\n";
  out += minimize + "\t\r\n";
  return out;
}

InProcessServer::~InProcessServer() { Stop(); }

void InProcessServer::Start() {
  ResetLineTable();
  // Each server lifetime starts from fresh default ports in the socket
  // records, as a new process would; free ones, so that the tests pass while
  // another program (the demo) listens on the real defaults 8001-8009.
  for (int line = 0; line < 9; ++line) {
    CopyField(tcpLines[line].port, std::to_string(FreeTcpPort()));
  }
  ServerStartup();
  doc_ = std::make_unique<CCorvDoc>();
  doc_->OnNewDocument();
  running_ = true;
}

void InProcessServer::Stop() {
  if (!running_) return;
  running_ = false;
  ServerShutdown();
  doc_->JoinRelayThread();
  ResetLineTable();
}

std::vector<std::string> CommandLog(CCorvDoc& doc) {
  MutexLock lock(engineLock);
  return doc.CommandLogListing();
}

std::vector<std::string> ErrorLogEntries() {
  MutexLock lock(engineLock);
  return ErrorLogListing();
}

std::string BinDir() {
  const char* dir = std::getenv("QMX_BIN_DIR");
  return dir ? dir : QMX_DEFAULT_BIN_DIR;
}

ServerProcess::ServerProcess() : ServerProcess(std::vector<std::string>{}) {}

ServerProcess::ServerProcess(const std::vector<std::string>& args) {
  stderrPath_ = fs::current_path().string() + "/qmxd.stderr";
  std::string binary = BinDir() + "/qmxd";
  // The argument vector is built before the fork: the child only execs.
  std::vector<std::string> texts{"qmxd"};
  texts.insert(texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    int fd = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    ::close(fd);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int ServerProcess::Terminate(std::chrono::milliseconds timeout) { return Stop(SIGTERM, timeout); }

int ServerProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  return WaitExit(timeout);
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

std::string ServerProcess::Stderr() const {
  std::ifstream in(stderrPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace qmx::test
