#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "engine/line_table.h"
#include "engine/startup.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"

namespace qmx::test {
namespace fs = std::filesystem;

ControlClient::ControlClient(int port) : TcpClient(port) {
  greeting_ = ReadUntil("ready\r\n");
}

static bool ReplyComplete(const std::string& r) {
  if (r.size() < 2 || r.compare(r.size() - 2, 2, "\r\n") != 0) return false;
  if (r.rfind("200 Commands are", 0) == 0)
    return r.find("(Ex. ? Ex. help)\r\n") != std::string::npos;
  if (r.rfind("200 Status is:", 0) == 0) return r.find("\r\n8:") != std::string::npos;
  return true;
}

std::string ControlClient::Command(const std::string& command) {
  Send(command + "\r");
  const std::string echo = command + "\r\n";
  std::string got = ReadWhile([&](const std::string& s) {
    size_t at = s.find(echo);
    return at == std::string::npos || !ReplyComplete(s.substr(at + echo.size()));
  });
  size_t at = got.find(echo);
  return at == std::string::npos ? got : got.substr(at + echo.size());
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

namespace {
InProcessServer* newest = nullptr;
}  // namespace

InProcessServer::InProcessServer()
    : server_(std::make_unique<Server>(".")), previous_(newest) {
  newest = this;
}

InProcessServer::~InProcessServer() {
  Stop();
  newest = previous_;
}

LineTable& Table() { return newest->server().Table(); }

void InProcessServer::Start() {
  LineTable& table = server_->Table();
  table.ResetLineTable();
  InitTraceFromEnvironment();
  // Each server lifetime starts from fresh default ports in the socket
  // records, as a new process would; free ones, so that the tests pass while
  // another program (the demo) listens on the real default ports.
  for (int line = 0; line < table.LineCount(); ++line) {
    CopyField(table.net.tcpLines[line].port, std::to_string(FreeTcpPort()));
  }
  server_->Start();
  running_ = true;
}

void InProcessServer::Stop() {
  if (!running_) return;
  running_ = false;
  server_->Stop();
}

std::vector<std::string> CommandLog(CCorvDoc& doc) {
  MutexLock lock(Table().engineLock);
  return doc.CommandLogListing();
}

std::vector<std::string> ErrorLogEntries() {
  MutexLock lock(Table().engineLock);
  return Table().ErrorLogListing();
}

std::string LineStatus(int line) {
  MutexLock lock(Table().engineLock);
  return std::string(Table().LineStatusText(line));
}

std::string BinDir() {
  const char* dir = std::getenv("QMX_BIN_DIR");
  return dir ? dir : QMX_DEFAULT_BIN_DIR;
}

ServerProcess::ServerProcess() : ServerProcess(std::vector<std::string>{}) {}

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
  stderrPath_ = fs::current_path().string() + "/qmxd.stderr";
  testsupport::ChildOptions options;
  options.binary = BinDir() + "/qmxd";
  options.argv = {"qmxd"};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.stderrPath = stderrPath_;
  options.dieWithParent = true;
  options.environment = environment;
  std::string error;
  if (!child_.Start(options, &error)) ADD_FAILURE() << "qmxd: " << error;
}

}  // namespace qmx::test
