// Fuzz target: the command interpreter and its handlers' parameter parsing.
//
// The input is what a client types on the control line. It is cut into lines
// by the control line's own assembler (greeting markers and NULs dropped, CR
// ending a line, over-long lines set aside), and each line is executed as the
// relay thread does it: lower-cased, ending in CR LF, with engineLock held,
// inside a ReplyBatch so that nothing is sent. Every input starts from the
// same line table: a server whose data lines 1 and 2 bridge com1 and com2,
// line 3 copies com1, line 4 failed to open com4, and lines 5 to 8 are
// unused; com1 to com8 are configured.
//
// The handlers open serial ports and listeners for real, so the target makes
// both fail fast and without side effects:
//   - it runs in a fresh temporary working directory whose com1 to com8 are
//     links to /dev/null: RsOpen opens, locks and parses the definition, then
//     fails to apply the line settings to a device that is no terminal;
//   - the process may not create sockets (a seccomp filter answers socket()
//     with EACCES): the socket layer needs no start-up call on Linux, so
//     without this TcpSocket and TcpListen would really listen on the data
//     ports and leave accept threads running.
//
// Checked for every line: exactly one reply, which is the help text or starts
// with a known three-digit code and a blank, ends in CR LF and has no other
// CR or LF than in CR LF pairs. Checked for every input: no port is left
// open, no line listens, and the process has as many threads and descriptors
// as before.
//
// The working directory changes before libFuzzer reads its arguments: give
// it absolute paths (fuzz/run.sh does).
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/line_table.h"
#include "engine/settings_file.h"
#include "fuzz_check.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "protocol/command_interpreter.h"
#include "relay/control_line.h"
#include "serial/rs_port.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

// The one line table every input runs against.
LineTable& table = Table();

namespace fs = std::filesystem;

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "the command fuzz target knows the seccomp architecture of x86-64 and arm64 only"
#endif

// The settings of the line table every input starts from.
constexpr std::string_view kBaselineSettings =
    "fuzz baseline\n"
    "8001\n"
    "8002,com1\n"
    "8003,com2\n"
    "8004,receive com1\n"
    "8005,com4\n"
    "unused,unused\n"
    "unused,unused\n"
    "unused,unused\n"
    "unused,unused\n"
    "com1,9600,n,8,1,n\n"
    "com2,19200,e,7,2,h\n"
    "com3,9600,n,8,1,x\n"
    "com4,300,o,5,1.5,n\n"
    "com5,9600,n,8,1,n\n"
    "com6,9600,n,8,1,n\n"
    "com7,9600,n,8,1,n\n"
    "com8,115200,n,8,1,n\n"
    "0\n";

constexpr std::string_view kReplyCodes[] = {"200", "220", "420", "421", "422",
                                            "423", "424", "500", "501", "502"};

fs::path workDir;
std::array<std::string, (kDefaultDataLines + 1)>
    defaultTcpPorts;  // the socket records' ports

// Makes socket() fail with EACCES in every thread of the process.
bool DenySocketCreation() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return ::syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC,
                   &program) == 0;
}

void RemoveWorkDir() {
  std::error_code ignored;
  if (!workDir.empty()) fs::remove_all(workDir, ignored);
}

// A fresh directory under $TMPDIR (or /tmp) with com1 to com8 linked to
// /dev/null becomes the working directory; it is removed at exit.
void EnterWorkDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qmx-fuzz-XXXXXX";
  fuzz::Require(::mkdtemp(pattern.data()) != nullptr, "cannot make a working directory",
                [&] { return pattern; });
  workDir = pattern;
  std::atexit(RemoveWorkDir);
  for (int n = 1; n <= kDefaultDataLines; ++n) {
    fs::create_symlink("/dev/null", workDir / ("com" + std::to_string(n)));
  }
  fs::current_path(workDir);
}

size_t EntriesOf(const char* directory) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) ++count;
  return count;
}

// Fills rsPorts[k] as RsOpen's caller does for a port that is in service. The
// device itself stays closed and the line's queues unallocated: closing such
// a port or line is harmless, and nothing is relayed here.
void MarkPortInService(int k) REQUIRES(table.engineLock) {
  RsPort& port = table.serial.rsPorts[k];
  CopyPortSettings(port, table.comSettings[k]);
  CopyField(port.stopBits, FieldText(table.comSettings[k].stopBits));
}

// The line table every input starts from (engineLock held).
void SetBaseline() REQUIRES(table.engineLock) {
  table.ResetLineTableLocked();
  ParseSetupText(table, kBaselineSettings);
  for (int k = 0; k < kDefaultDataLines; ++k) {
    RsPort& port = table.serial.rsPorts[k];
    ClearField(port.name);
    ClearField(port.baud);
    ClearField(port.parity);
    ClearField(port.dataBits);
    ClearField(port.stopBits);
    ClearField(port.flow);
    ClearField(port.definition);
    table.serial.rsError[k].store(0);
    table.rxQueue[k].Free();
    table.txQueue[k].Free();
  }
  for (int L = 0; L < (kDefaultDataLines + 1); ++L) {
    CopyField(table.net.tcpLines[L].port, defaultTcpPorts[L]);
    table.SetLineStatus(L, L <= 3 ? "OK" : L == 4 ? "NG" : "unused");
  }
  MarkPortInService(0);
  MarkPortInService(1);
  table.routeTable[0].store(0);
  table.routeTable[1].store(1);
  table.routeTable[2].store(0);
}

// What is wrong with a reply, or nullptr when it is well-formed.
const char* ReplyFault(const std::string& reply) {
  static const std::string help = HelpText();
  if (reply == help) return nullptr;
  const bool knownCode = std::ranges::any_of(
      kReplyCodes, [&](std::string_view code) { return reply.starts_with(code); });
  if (!knownCode || reply.size() < 4 || reply[3] != ' ') {
    return "a reply does not start with a known three-digit code and a blank";
  }
  if (!reply.ends_with("\r\n")) return "a reply does not end in CR LF";
  for (size_t i = 0; i < reply.size(); ++i) {
    const bool pairedCr =
        reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n';
    const bool pairedLf = reply[i] == '\n' && i > 0 && reply[i - 1] == '\r';
    if ((reply[i] == '\r' && !pairedCr) || (reply[i] == '\n' && !pairedLf)) {
      return "a reply holds a CR or LF outside a CR LF pair";
    }
  }
  return nullptr;
}

// Executes each line the assembler delivers, as the relay thread does.
class ExecutingSink : public ControlLineAssembler::Sink {
 public:
  void Greet() override {}
  void Echo(uint8_t) override {}
  void OverlongLine(std::string_view) override {}  // answered by the relay thread

  void Line(std::string_view line) override {
    const std::string lower = LowerCaseLine(line);
    std::vector<std::string> replies;
    {
      MutexLock lock(table.engineLock);
      ReplyBatch batch(table);
      ExecuteCommand(table, lower);
      replies = batch.Take();
    }
    fuzz::Require(replies.size() == 1, "a command did not get exactly one reply", [&] {
      return "command \"" + fuzz::Visible(lower) + "\" got " +
             std::to_string(replies.size());
    });
    if (const char* fault = ReplyFault(replies.front())) {
      fuzz::Fail(fault, "command \"" + fuzz::Visible(lower) + "\"\nreply \"" +
                            fuzz::Visible(replies.front()) + "\"");
    }
  }
};

void CheckNothingLeftRunning(size_t threadsBefore, size_t descriptorsBefore) {
  MutexLock lock(table.engineLock);
  for (int k = 0; k < kDefaultDataLines; ++k) {
    fuzz::Require(table.serial.rsPorts[k].handle.load() < 0 &&
                      !table.serial.rsPorts[k].readThread.joinable(),
                  "a serial port was left open",
                  [&] { return "com" + std::to_string(k + 1); });
  }
  for (int L = 0; L < (kDefaultDataLines + 1); ++L) {
    fuzz::Require(table.net.tcpLines[L].state.load() == LineState::kNone &&
                      !table.net.tcpLines[L].acceptThread.joinable(),
                  "a line was left with a socket or an accept thread",
                  [&] { return "line " + std::to_string(L); });
  }
  fuzz::Require(EntriesOf("/proc/self/task") == threadsBefore,
                "a thread was left behind");
  fuzz::Require(EntriesOf("/proc/self/fd") == descriptorsBefore,
                "a descriptor was left open or closed twice");
}

}  // namespace
}  // namespace qmx

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace qmx;
  for (int L = 0; L < (kDefaultDataLines + 1); ++L) {
    defaultTcpPorts[L] = std::string(FieldText(table.net.tcpLines[L].port));
  }
  fuzz::Require(DenySocketCreation(), "cannot forbid socket creation (seccomp)",
                [] { return std::string(std::strerror(errno)); });
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  fuzz::Require(probe < 0 && errno == EACCES, "socket creation is still allowed");
  int error = 0;
  fuzz::Require(table.net.TcpSocket(1, &error) == 0 && error == EACCES &&
                    table.net.tcpLines[1].state == LineState::kNone,
                "the socket layer still gets a socket");
  EnterWorkDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmx;
  const size_t threadsBefore = EntriesOf("/proc/self/task");
  const size_t descriptorsBefore = EntriesOf("/proc/self/fd");
  {
    MutexLock lock(table.engineLock);
    SetBaseline();
  }
  ControlLineAssembler assembler;
  ExecutingSink sink;
  for (size_t i = 0; i < size; ++i) assembler.Feed(data[i], sink);
  if (!assembler.Pending().empty()) assembler.Feed('\r', sink);  // the last line's CR
  CheckNothingLeftRunning(threadsBefore, descriptorsBefore);
  return 0;
}
