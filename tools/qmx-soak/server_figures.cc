#include "server_figures.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace qmx::load {
namespace {

int CountEntries(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

int64_t ResidentKb(const std::string& statusPath) {
  std::ifstream status(statusPath);
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      int64_t kb = -1;
      status >> kb;
      return kb;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}

}  // namespace

ServerFigures SampleServer(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  return {CountEntries(base + "/fd"), CountEntries(base + "/task"),
          ResidentKb(base + "/status")};
}

void KeepPeak(ServerFigures& peak, const ServerFigures& now) {
  peak.descriptors = std::max(peak.descriptors, now.descriptors);
  peak.threads = std::max(peak.threads, now.threads);
  peak.residentKb = std::max(peak.residentKb, now.residentKb);
}

}  // namespace qmx::load
