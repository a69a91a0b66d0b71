#include "server/server.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/startup.h"

namespace qmx {

Server::Folder::Folder(const std::string& path, std::string* problem)
    : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (fd_ < 0) *problem = path + ": " + std::strerror(errno);
}

Server::Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}

Server::Server(const std::string& folder, int dataLines, const ServerSeams& seams)
    : folder_(folder, &folderProblem_),
      dataLines_(dataLines),
      table_(folder_.fd() >= 0 ? folder_.fd() : AT_FDCWD, seams.devices, seams.network,
             std::clamp(dataLines, kDefaultDataLines, kMaxDataLines)),
      document_(table_) {
  if (folderProblem_.empty() &&
      (dataLines < kDefaultDataLines || dataLines > kMaxDataLines)) {
    folderProblem_ = std::to_string(dataLines) + " data lines: a server has " +
                     std::to_string(kDefaultDataLines) + " to " +
                     std::to_string(kMaxDataLines);
  }
}

Server::~Server() { Stop(); }

Server::StartResult Server::Start() {
  if (!folderProblem_.empty()) return StartResult::kNoFolder;
  started_ = true;
  table_.startTime = std::chrono::system_clock::now();
  const int status = ServerStartup(table_);
  document_.OnNewDocument();
  if (status != 0) return StartResult::kSettingsUnreadable;
  if (ControlLineDown(table_)) return StartResult::kControlLineDown;
  return StartResult::kServing;
}

void Server::Stop() {
  if (!started_) return;
  started_ = false;
  ServerShutdown(table_);
  document_.JoinRelayThread();
}

}  // namespace qmx
