#include "testsupport/scratch_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace qmx::testsupport {
namespace fs = std::filesystem;

ScratchDir::ScratchDir(std::string_view prefix, Enter enter) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  if (enter == Enter::kYes) {
    previous_ = fs::current_path(ec).string();
    fs::current_path(path_, ec);
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!previous_.empty()) fs::current_path(previous_, ec);
  if (!path_.empty() && !keep_) fs::remove_all(path_, ec);
}

bool ScratchDir::WriteFile(const std::string& name, std::string_view content) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out.flush());
}

std::string ScratchDir::ReadFile(const std::string& name) const {
  return ReadWholeFile(path_ + "/" + name);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

}  // namespace qmx::testsupport
