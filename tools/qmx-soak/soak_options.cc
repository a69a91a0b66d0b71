#include "soak_options.h"

#include <charconv>
#include <filesystem>

namespace qmx::soak {
namespace {

bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  const char* end = text.data() + text.size();
  auto [next, failure] = std::from_chars(text.data(), end, *value);
  return failure == std::errc() && next == end && *value >= low && *value <= high;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "--help" || flag == "-h") {
      options->help = true;
      continue;
    }
    if (flag == "--keep") {
      options->keep = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error =
          flag.starts_with("--") ? flag + " needs a value" : "unknown argument " + flag;
      return false;
    }
    const std::string& value = args[++i];
    uint64_t number = 0;
    bool ok = true;
    if (flag == "--seconds") {
      ok = ParseNumber(value, 1, 30 * 24 * 3600, &number);
      options->seconds = static_cast<int>(number);
    } else if (flag == "--window") {
      ok = ParseNumber(value, 1, uint64_t{1} << 30, &number);
      options->window = number;
    } else if (flag == "--stall-every") {
      ok = ParseNumber(value, 0, 30 * 24 * 3600, &number);
      options->stallEvery = static_cast<int>(number);
    } else if (flag == "--report-every") {
      ok = ParseNumber(value, 0, 30 * 24 * 3600, &number);
      options->reportEvery = static_cast<int>(number);
    } else if (flag == "--qmxd") {
      // The server is started in the soak's temporary folder, so a relative
      // path is taken from where the tool was started.
      std::error_code failure;
      const std::filesystem::path path = std::filesystem::absolute(value, failure);
      options->qmxd = failure ? value : path.lexically_normal().string();
    } else {
      *error = "unknown argument " + flag;
      return false;
    }
    if (!ok) {
      *error = "bad value for " + flag + ": " + value;
      return false;
    }
  }
  return true;
}

}  // namespace qmx::soak
