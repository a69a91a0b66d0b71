#include "soak_server.h"

#include <signal.h>

#include <filesystem>

#include "testsupport/free_port.h"

namespace qmx::soak {
namespace {

std::string SettingsText(int controlPort, const int (&ports)[9]) {
  std::string text = "qmx-soak settings\r\n" + std::to_string(controlPort) + "\r\n";
  for (int L = 1; L <= 8; ++L) {
    text += std::to_string(ports[L]) + ",com" + std::to_string(L) + "\r\n";
  }
  for (int L = 1; L <= 8; ++L) text += "com" + std::to_string(L) + ",9600,n,8,1,n\r\n";
  return text + "0\r\n";
}

}  // namespace

bool SoakServer::Prepare(int sourceLine, bool keepFolder, std::string* error) {
  sourceLine_ = sourceLine;
  folder_ = std::make_unique<testsupport::ScratchDir>(
      "qmx-soak", testsupport::ScratchDir::Enter::kNo);
  if (!folder_->ok()) {
    *error = "cannot make a temporary folder";
    return false;
  }
  if (keepFolder) folder_->Keep();
  controlPort_ = testsupport::FreeTcpPort();
  for (int L = 1; L <= 8; ++L) {
    ports_[L] = testsupport::FreeTcpPort();
    if (ports_[L] == 0 || !ReplaceDevice(L, error)) {
      if (error->empty()) *error = "no free TCP port";
      return false;
    }
  }
  if (!folder_->WriteFile("qmx.txt", SettingsText(controlPort_, ports_))) {
    *error = "cannot write qmx.txt";
    return false;
  }
  return controlPort_ != 0;
}

bool SoakServer::ReplaceDevice(int L, std::string* error) {
  devices_[L].reset();
  const auto role = L == sourceLine_ ? testsupport::PtyDevice::Play::kSource
                                     : testsupport::PtyDevice::Play::kEcho;
  devices_[L] =
      testsupport::PtyDevice::Create(folder() + "/com" + std::to_string(L), role, error);
  return devices_[L] != nullptr;
}

bool SoakServer::Start(const std::string& binary, std::string* error) {
  testsupport::ChildOptions options;
  options.binary = binary;
  options.argv = {"qmxd"};
  options.directory = folder();
  options.stderrPath = folder() + "/qmxd.stderr";
  options.dieWithParent = true;
  return child_.Start(options, error);
}

bool SoakServer::Running() { return child_.Running(); }

int SoakServer::Terminate(std::chrono::milliseconds timeout) {
  const int status = child_.Stop(SIGTERM, timeout);
  child_.Kill();  // still there after the time: killed
  return status;
}

std::string SoakServer::StderrTail(size_t bytes) const {
  const std::string text = folder_ ? folder_->ReadFile("qmxd.stderr") : std::string();
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

}  // namespace qmx::soak
