// Test harness for end-to-end tests: the control-line client, settings files,
// and the server run in-process or as the qmxd executable. Working folders,
// free TCP ports, pseudo-terminal devices and TCP clients come from the shared
// test support (testsupport/).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "relay/corv_doc.h"
#include "server/server.h"
#include "testsupport/child_process.h"
#include "testsupport/free_port.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
#include "testsupport/tcp_client.h"
#include "testsupport/wait_for.h"

namespace qmx::test {

using namespace std::chrono_literals;

// The shared test support, under the names the tests use.
using testsupport::FreeTcpPort;
using testsupport::Listening;
using testsupport::PtyDevice;
using testsupport::ScratchDir;
using testsupport::TcpClient;
using testsupport::WaitFor;
using Play = testsupport::PtyDevice::Play;

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
inline void MissingDevice(const std::string& name) {
  testsupport::LinkMissingDevice(name);
}

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

// The whole server in this process, as qmxd runs it, in the working folder
// at the time it is made (the test's scratch folder). While it lives,
// Table() is its line table.
class InProcessServer {
 public:
  InProcessServer();
  ~InProcessServer();
  void Start();
  void Stop();
  Server& server() { return *server_; }
  CCorvDoc& doc() { return server_->Document(); }

 private:
  std::unique_ptr<Server> server_;
  InProcessServer* previous_;
  bool running_ = false;
};

// The line table of the newest InProcessServer alive.
LineTable& Table();

// The command log, the error log and line `line`'s status text, each copied
// under the engine lock.
std::vector<std::string> CommandLog(CCorvDoc& doc);
std::vector<std::string> ErrorLogEntries();
std::string LineStatus(int line);

// qmxd as a child process in the working directory; its standard error goes
// to qmxd.stderr there.
class ServerProcess {
 public:
  ServerProcess();
  // qmxd with these arguments after its name, and these "NAME=value"
  // variables added to its environment.
  explicit ServerProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& environment = {});
  // Sends SIGTERM and waits; returns the exit status (or -1 on time-out).
  int Terminate(std::chrono::milliseconds timeout = 20s) {
    return Stop(SIGTERM, timeout);
  }
  // Sends `signal` and waits, as Terminate does.
  int Stop(int signal, std::chrono::milliseconds timeout = 20s) {
    return child_.Stop(signal, timeout);
  }
  // Waits for the process to end by itself; its exit status, 128 + the
  // signal that ended it, or -1 on time-out.
  int WaitExit(std::chrono::milliseconds timeout = 20s) {
    return child_.WaitExit(timeout);
  }
  pid_t pid() const { return child_.pid(); }
  std::string Stderr() const { return testsupport::ReadWholeFile(stderrPath_); }

 private:
  testsupport::ChildProcess child_;
  std::string stderrPath_;
};

std::string BinDir();

}  // namespace qmx::test
