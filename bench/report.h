// The benchmark's table: one row per figure with QMX's value, socat's value,
// their ratio and, where the figure has one, the target it is held to. The
// same rows print as text and write as JSON. Pure functions of the figures.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench_options.h"
#include "measure.h"

namespace qmx::bench {

enum class Goal {
  kNone,
  kRatioAtLeast,  // QMX / socat >= bound
  kRatioAtMost,   // QMX / socat <= bound
  kQmxBelow,      // QMX's own value < bound
};

struct Row {
  std::string key;     // stable name for JSON readers
  std::string metric;  // for people
  std::string unit;
  std::optional<double> qmx;
  std::optional<double> socat;
  Goal goal = Goal::kNone;
  double bound = 0;
  int decimals = 1;

  std::optional<double> Ratio() const;
  // Whether the target is met; empty when the row has none or lacks a value.
  std::optional<bool> Met() const;
  std::string TargetText() const;
};

// Either figure may be missing (not measured, or --only).
std::vector<Row> BuildRows(const RelayFigures* qmx, const RelayFigures* socat);

std::string FormatTable(const std::vector<Row>& rows,
                        const std::vector<RelayFigures>& relays);
std::string FormatJson(const std::vector<Row>& rows,
                       const std::vector<RelayFigures>& relays,
                       const BenchOptions& options);

}  // namespace qmx::bench
