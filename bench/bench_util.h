// Small helpers the measuring steps share: progress lines, numbers as text,
// medians and elapsed time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace qmx::bench {

using Clock = std::chrono::steady_clock;

// One line of progress on standard error, "[name] text".
inline void Progress(const std::string& name, const std::string& text) {
  std::fprintf(stderr, "[%s] %s\n", name.c_str(), text.c_str());
}

inline std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle]
                                : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace qmx::bench
