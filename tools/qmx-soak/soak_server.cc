#include "soak_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace qmx::soak {
namespace {

// A TCP port of 127.0.0.1 that nobody listens on now, different from those
// already in `taken`.
int FreePort(std::set<int>& taken) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    if (port > 0 && taken.insert(port).second) return port;
  }
  return 0;
}

std::string SettingsText(int controlPort, const int (&ports)[9]) {
  std::string text = "qmx-soak settings\r\n" + std::to_string(controlPort) + "\r\n";
  for (int L = 1; L <= 8; ++L) {
    text += std::to_string(ports[L]) + ",com" + std::to_string(L) + "\r\n";
  }
  for (int L = 1; L <= 8; ++L) text += "com" + std::to_string(L) + ",9600,n,8,1,n\r\n";
  return text + "0\r\n";
}

}  // namespace

SoakServer::~SoakServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (auto& device : devices_) device.reset();
  std::error_code ec;
  if (!folder_.empty() && !keep_) std::filesystem::remove_all(folder_, ec);
}

bool SoakServer::Prepare(int sourceLine, bool keepFolder, std::string* error) {
  keep_ = keepFolder;
  sourceLine_ = sourceLine;
  char pattern[] = "/tmp/qmx-soak-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    *error = "cannot make a temporary folder";
    return false;
  }
  folder_ = pattern;
  std::set<int> taken;
  controlPort_ = FreePort(taken);
  for (int L = 1; L <= 8; ++L) {
    ports_[L] = FreePort(taken);
    if (ports_[L] == 0 || !ReplaceDevice(L, error)) {
      if (error->empty()) *error = "no free TCP port";
      return false;
    }
  }
  std::ofstream(folder_ + "/qmx.txt", std::ios::binary) << SettingsText(controlPort_, ports_);
  return controlPort_ != 0;
}

bool SoakServer::ReplaceDevice(int L, std::string* error) {
  devices_[L].reset();
  const auto role =
      L == sourceLine_ ? load::EchoDevice::Role::kSource : load::EchoDevice::Role::kEcho;
  devices_[L] = load::EchoDevice::Create(folder_ + "/com" + std::to_string(L), error, role);
  return devices_[L] != nullptr;
}

bool SoakServer::Start(const std::string& binary, std::string* error) {
  const std::string stderrPath = folder_ + "/qmxd.stderr";
  pid_ = ::fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    const int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, 2) < 0 || ::chdir(folder_.c_str()) != 0) ::_exit(126);
    ::execl(binary.c_str(), "qmxd", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return true;
}

bool SoakServer::Running() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

int SoakServer::Terminate(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::string SoakServer::StderrTail(size_t bytes) const {
  std::ifstream in(folder_ + "/qmxd.stderr", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

}  // namespace qmx::soak
