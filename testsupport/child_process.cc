#include "testsupport/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

namespace qmx::testsupport {
namespace {

int StatusOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ChildProcess::~ChildProcess() {
  Kill();
  if (stdout_ >= 0) ::close(stdout_);
}

bool ChildProcess::Start(const ChildOptions& options, std::string* error) {
  // Everything the child needs is made before the fork: it only redirects
  // and execs.
  std::vector<std::string> texts = options.argv;
  if (texts.empty()) texts.push_back(options.binary);
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  // This process's environment, with the options' variables in place of
  // any of the same name.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& added : options.environment)
      replaced = replaced || added.substr(0, added.find('=')) == name;
    if (!replaced) variables.emplace_back(text);
  }
  variables.insert(variables.end(), options.environment.begin(),
                   options.environment.end());
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  int pipeFds[2] = {-1, -1};
  if (options.pipeStdout && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    if (pipeFds[0] >= 0) {
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    return false;
  }
  if (pid_ == 0) {
    if (options.dieWithParent) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
    }
    if (!options.stderrPath.empty()) {
      const int fd =
          ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(126);
      ::close(fd);
    }
    if (pipeFds[1] >= 0 && ::dup2(pipeFds[1], STDOUT_FILENO) < 0) ::_exit(126);
    if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0)
      ::_exit(126);
    ::execve(options.binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  stdout_ = pipeFds[0];
  return true;
}

bool ChildProcess::Running() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  return WaitExit(limit);
}

int ChildProcess::WaitExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return StatusOf(status);
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace qmx::testsupport
