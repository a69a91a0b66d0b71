// Test harness for end-to-end tests: temporary working directories, free TCP
// ports, pseudo-terminal serial devices linked as comN, TCP clients with
// bounded reads, and the server run in-process or as the qmxd executable.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "relay/corv_doc.h"

namespace qmx::test {

using namespace std::chrono_literals;

// A fresh directory that becomes the working directory while the object
// lives; removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

// A TCP port nobody listens on right now.
int FreeTcpPort();

// A pseudo-terminal pair whose device side is linked as `linkName` in the
// working directory. The test plays the device on the other side: by default
// an echo plug; with echo off it can write and read itself.
class PtyDevice {
 public:
  PtyDevice(const std::string& linkName, bool echo);
  ~PtyDevice();
  void Write(const std::string& bytes);
  // Reads until `count` bytes came or the time ran out.
  std::string Read(size_t count, std::chrono::milliseconds timeout = 10s);
  // Closes the device side's other end, as if the device were unplugged.
  void Hangup();
  const std::string& slavePath() const { return slavePath_; }
  // The device side, held open by the test: its terminal settings are the
  // ones the server applied.
  int slaveFd() const { return slave_; }

 private:
  void EchoLoop();
  int master_ = -1;
  int slave_ = -1;  // kept open so the pty survives the server's closes
  int stopFd_ = -1;
  std::string link_;
  std::string slavePath_;
  std::thread echo_;
};

class TcpClient {
 public:
  explicit TcpClient(int port);
  // Connects to `address` (an IPv4 or IPv6 literal), from `source` (an IPv4
  // literal) when given.
  TcpClient(const std::string& address, int port, const std::string& source = "");
  ~TcpClient();
  bool connected() const { return fd_ >= 0; }
  void Send(const std::string& bytes);
  // Reads until the received text contains `expected` or the time runs out;
  // returns everything received so far (and keeps nothing back).
  std::string ReadUntil(const std::string& expected, std::chrono::milliseconds timeout = 10s);
  std::string ReadCount(size_t count, std::chrono::milliseconds timeout = 10s);
  // Reads whatever arrives within `quiet` of silence.
  std::string Drain(std::chrono::milliseconds quiet = 200ms);
  // True when the server closed the connection within the time.
  bool WaitClosed(std::chrono::milliseconds timeout = 10s);
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Connects to the control line, reads the greeting, and runs commands.
class ControlClient : public TcpClient {
 public:
  explicit ControlClient(int port);
  const std::string& greeting() const { return greeting_; }
  // Sends `command` and CR; returns the echo and the reply (up to its CR LF
  // ending, or the status report's last row).
  std::string Command(const std::string& command);

 private:
  std::string greeting_;
};

// Links `name` in the working directory to a device that does not exist, so
// the port cannot be opened (a plain missing name would fall back to the
// machine's own /dev/ttyS ports).
void MissingDevice(const std::string& name);

// True when something accepts connections on 127.0.0.1:port (or on
// `address`:port).
bool Listening(int port);
bool Listening(const std::string& address, int port);

// Builds a settings file: control port, then for each data line its TCP port
// text and serial port text, then eight serial lines and the minimize flag.
struct Settings {
  std::string first = "QMX test settings\r\n";
  std::string control = "unused";
  std::string tcp[9];
  std::string serial[9];
  std::string com[8];  // "com1,9600,n,8,1,n"
  std::string minimize = "0";
  Settings();
  std::string Text() const;
};

// The whole server in this process, as qmxd runs it.
class InProcessServer {
 public:
  InProcessServer() = default;
  ~InProcessServer();
  void Start();
  void Stop();
  CCorvDoc& doc() { return *doc_; }

 private:
  std::unique_ptr<CCorvDoc> doc_;
  bool running_ = false;
};

// Runs `command` under the engine lock and returns the command log.
std::vector<std::string> CommandLog(CCorvDoc& doc);
std::vector<std::string> ErrorLogEntries();

// qmxd as a child process in the working directory.
class ServerProcess {
 public:
  ServerProcess();
  // qmxd with these arguments after its name.
  explicit ServerProcess(const std::vector<std::string>& args);
  ~ServerProcess();
  // Sends SIGTERM and waits; returns the exit status (or -1 on time-out).
  int Terminate(std::chrono::milliseconds timeout = 20s);
  // Sends `signal` and waits, as Terminate does.
  int Stop(int signal, std::chrono::milliseconds timeout = 20s);
  // Waits for the process to end by itself; its exit status, 128 + the
  // signal that ended it, or -1 on time-out.
  int WaitExit(std::chrono::milliseconds timeout = 20s);
  pid_t pid() const { return pid_; }
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string stderrPath_;
};

std::string BinDir();

// Waits until `condition` holds or the time runs out.
template <class Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace qmx::test
