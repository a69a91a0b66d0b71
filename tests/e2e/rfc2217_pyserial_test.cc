// A remote-control data line driven by a client nobody here wrote: runs
// tests/telnet/pyserial_rfc2217_test.py (pyserial's rfc2217:// handler)
// against the in-process server, passing it the control port, the data
// line's port and the device path. The script plays the device itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "engine/line_table.h"
#include "harness.h"

namespace qmx::test {
namespace {

constexpr int kSkipped = 77;
constexpr const char* kPython = "/usr/bin/python3";  // the one with Debian's pyserial

// Runs the script with its output in `log`; the exit status, or -1 when it
// did not end within the time (it is then killed).
int RunScript(const std::vector<std::string>& args, const std::string& log,
              std::chrono::seconds limit) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kPython));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    FILE* out = std::freopen(log.c_str(), "w", stdout);
    if (out != nullptr) ::dup2(::fileno(out), STDERR_FILENO);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  int status = 0;
  const bool ended =
      WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Rfc2217Pyserial, PyserialClientDrivesARemoteLine) {
  if (::access(kPython, X_OK) != 0) GTEST_SKIP() << kPython << " is missing";
  ScratchDir dir;
  Settings settings;
  const int control = FreeTcpPort();
  const int data = FreeTcpPort();
  settings.control = std::to_string(control);
  // Line 1 has its TCP port but no port open: the script opens com1 itself.
  settings.tcp[1] = std::to_string(data);
  dir.WriteFile("qmx.txt", settings.Text());
  InProcessServer server;
  Table().SetRfc2217Lines(0b1);
  server.Start();

  const std::string log = dir.path() + "/pyserial.log";
  const int status =
      RunScript({QMX_PYSERIAL_SCRIPT, "--control", std::to_string(control), "--data",
                 std::to_string(data), "--device", dir.path() + "/com1"},
                log, std::chrono::seconds(240));
  server.Stop();
  const std::string output = dir.ReadFile("pyserial.log");
  if (status == kSkipped) GTEST_SKIP() << output;
  EXPECT_EQ(status, 0) << output;
}

}  // namespace
}  // namespace qmx::test
