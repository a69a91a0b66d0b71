// A fresh folder under the temporary directory for one test or one tool run,
// removed with everything in it when the object goes (unless kept). By
// default it is the working directory while the object lives, and the
// previous one comes back afterwards; that is where a server looks for its
// settings file and its port links.
//
// Threads: owned by one thread; the working directory is the process's, so
// only one entered folder lives at a time. Nothing throws: a folder that
// cannot be made leaves ok() false and path() empty.
#pragma once

#include <string>
#include <string_view>

namespace qmx::testsupport {

class ScratchDir {
 public:
  enum class Enter { kYes, kNo };

  explicit ScratchDir(std::string_view prefix = "qmx-test", Enter enter = Enter::kYes);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Leaves the folder in place when the object goes (to look at afterwards).
  void Keep() { keep_ = true; }

  // A file of the folder, named relative to it; false or empty on failure.
  bool WriteFile(const std::string& name, std::string_view content) const;
  std::string ReadFile(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;  // empty unless entered
  bool keep_ = false;
};

// The whole content of the file at `path`; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace qmx::testsupport
