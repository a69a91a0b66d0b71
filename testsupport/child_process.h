// A program run as a child process by a test or a tool: the server under
// test, or a helper such as qmx-vport. Its standard error can go to a file and
// its standard output to a pipe the caller reads; it can be told to die with
// its parent, so a crashed test leaves nothing running.
//
// Threads: owned by one thread. Nothing throws. The destructor kills (SIGKILL)
// and reaps a child still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qmx::testsupport {

struct ChildOptions {
  std::string binary;                    // path of the program
  std::vector<std::string> argv;         // argv[0] first; empty: the binary's path
  std::string directory;                 // working directory; empty: this process's
  std::string stderrPath;                // standard error to this file; empty: shared
  bool pipeStdout = false;               // standard output to stdoutFd()
  bool dieWithParent = false;            // SIGKILL when this process ends
  std::vector<std::string> environment;  // "NAME=value" added to this process's
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program; false with the reason in `error` when no process
  // could be made. A program that cannot be run ends with status 127.
  bool Start(const ChildOptions& options, std::string* error);
  // False once the child has ended (it is reaped then).
  bool Running();
  // Sends `signal` and waits as WaitExit does; the child stays when it did
  // not end in time.
  int Stop(int signal, std::chrono::milliseconds limit);
  // Waits for the child to end: its exit status, 128 + the signal that ended
  // it, or -1 when it still runs after `limit` (or there is none).
  int WaitExit(std::chrono::milliseconds limit);
  // SIGKILL and reap.
  void Kill();

  pid_t pid() const { return pid_; }
  // The read end of the standard output pipe; -1 without one. Owned here.
  int stdoutFd() const { return stdout_; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

}  // namespace qmx::testsupport
