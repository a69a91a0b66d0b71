#include "report.h"

#include <cmath>
#include <cstdio>
#include <functional>

namespace qmx::bench {
namespace {

std::string Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Optional(const std::optional<double>& value, int decimals) {
  return value ? Number(*value, decimals) : "-";
}

std::string Pad(const std::string& text, size_t width, bool right) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonNumber(const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return "null";
  return Number(*value, 6);
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + JsonString(items[i]);
  return out + "]";
}

// Round trips checked on a server's lines: the one-line ones, or in the
// many-line run the polling ones.
size_t CheckedRoundTrips(const RelayFigures& relay) {
  return relay.lines > kUsualLines ? relay.pollCount : relay.rtt1Count + relay.rtt64Count;
}

// Adds a row with each measured server's value.
class RowAdder {
 public:
  RowAdder(const RelayFigures* qmx, const RelayFigures* socat, std::vector<Row>* rows)
      : qmx_(qmx), socat_(socat), rows_(*rows) {}

  void operator()(std::string key, std::string metric, std::string unit,
                  const std::function<double(const RelayFigures&)>& value, Goal goal,
                  double bound, int decimals) const {
    Row row{std::move(key), std::move(metric), std::move(unit), {}, {}, goal,
            bound,          decimals};
    if (qmx_ && qmx_->measured) row.qmx = value(*qmx_);
    if (socat_ && socat_->measured) row.socat = value(*socat_);
    rows_.push_back(std::move(row));
  }

 private:
  const RelayFigures* qmx_;
  const RelayFigures* socat_;
  std::vector<Row>& rows_;
};

// The many-line run's rows: what every line at once costs.
std::vector<Row> ManyLineRows(const RelayFigures* qmx, const RelayFigures* socat,
                              int lines) {
  std::vector<Row> rows;
  const RowAdder add(qmx, socat, &rows);
  using F = const RelayFigures&;
  const std::string n = std::to_string(lines);
  add(
      "throughput_all_lines_both_directions", n + " lines, both directions, total",
      "MB/s", [](F f) { return f.allLinesMbs; }, Goal::kRatioAtLeast, 1.0, 1);
  add(
      "polling_messages_per_second", "polling: 16-byte messages, " + n + " lines", "1/s",
      [](F f) { return f.pollMessagesPerSecond; }, Goal::kNone, 0, 0);
  add(
      "polling_p99", "polling: round trip, 99th percentile", "us",
      [](F f) { return f.pollP99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "peak_resident_memory", "peak resident memory (socat: " + n + " processes)", "MB",
      [](F f) { return f.peakResidentMb; }, Goal::kQmxBelow, 16.0, 1);
  add(
      "threads", "threads (socat: " + n + " processes)", "",
      [](F f) { return static_cast<double>(f.threads); }, Goal::kNone, 0, 0);
  add(
      "idle_cpu", "server CPU idle, " + n + " clients connected", "% core",
      [](F f) { return f.idleCpuPercent; }, Goal::kQmxBelow, 0.1, 3);
  add(
      "cpu_per_mb", "  server CPU per MB relayed (user+system)", "ms/MB",
      [](F f) { return f.cpuMsPerMb; }, Goal::kNone, 0, 2);
  add(
      "idle_wakeups_per_second", "  idle wake-ups (context switches)", "1/s",
      [](F f) { return f.idleWakeupsPerSecond; }, Goal::kNone, 0, 1);
  return rows;
}

}  // namespace

std::optional<double> Row::Ratio() const {
  if (!qmx || !socat || *socat == 0) return std::nullopt;
  return *qmx / *socat;
}

std::optional<bool> Row::Met() const {
  switch (goal) {
    case Goal::kNone:
      return std::nullopt;
    case Goal::kQmxBelow:
      if (!qmx) return std::nullopt;
      return *qmx < bound;
    case Goal::kRatioAtLeast:
    case Goal::kRatioAtMost: {
      const std::optional<double> ratio = Ratio();
      if (!ratio) return std::nullopt;
      // Judged on the ratio as printed.
      const double shown = std::round(*ratio * 100) / 100;
      return goal == Goal::kRatioAtLeast ? shown >= bound : shown <= bound;
    }
  }
  return std::nullopt;
}

std::string Row::TargetText() const {
  std::string text;
  switch (goal) {
    case Goal::kNone:
      return "";
    case Goal::kRatioAtLeast:
      text = "ratio >= " + Number(bound, 2);
      break;
    case Goal::kRatioAtMost:
      text = "ratio <= " + Number(bound, 2);
      break;
    case Goal::kQmxBelow:
      text = "QMX < " + Number(bound, 1);
      break;
  }
  const std::optional<bool> met = Met();
  return text + (met ? (*met ? "  met" : "  NOT MET") : "");
}

std::vector<Row> BuildRows(const RelayFigures* qmx, const RelayFigures* socat) {
  const int lines = qmx ? qmx->lines : socat ? socat->lines : kUsualLines;
  if (lines > kUsualLines) return ManyLineRows(qmx, socat, lines);
  std::vector<Row> rows;
  const RowAdder add(qmx, socat, &rows);
  using F = const RelayFigures&;
  add(
      "throughput_one_line_client_to_device", "one line, client to device", "MB/s",
      [](F f) { return f.oneLineToDeviceMbs; }, Goal::kRatioAtLeast, 1.0, 1);
  add(
      "throughput_one_line_device_to_client", "one line, device to client", "MB/s",
      [](F f) { return f.oneLineToClientMbs; }, Goal::kRatioAtLeast, 1.0, 1);
  add(
      "throughput_eight_lines_both_directions", "eight lines, both directions, total",
      "MB/s", [](F f) { return f.allLinesMbs; }, Goal::kRatioAtLeast, 1.0, 1);
  add(
      "round_trip_1_byte_median", "round trip, 1 byte, median", "us",
      [](F f) { return f.rtt1Median; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "round_trip_1_byte_p99", "round trip, 1 byte, 99th percentile", "us",
      [](F f) { return f.rtt1P99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "round_trip_64_bytes_median", "round trip, 64 bytes, median", "us",
      [](F f) { return f.rtt64Median; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "round_trip_64_bytes_p99", "round trip, 64 bytes, 99th percentile", "us",
      [](F f) { return f.rtt64P99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "busy_round_trip_1_byte_median", "busy: round trip, 1 byte, median", "us",
      [](F f) { return f.busy1Median; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "busy_round_trip_1_byte_p99", "busy: round trip, 1 byte, 99th percentile", "us",
      [](F f) { return f.busy1P99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "busy_round_trip_64_bytes_median", "busy: round trip, 64 bytes, median", "us",
      [](F f) { return f.busy64Median; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "busy_round_trip_64_bytes_p99", "busy: round trip, 64 bytes, 99th percentile", "us",
      [](F f) { return f.busy64P99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "polling_messages_per_second", "polling: 16-byte messages, 8 lines", "1/s",
      [](F f) { return f.pollMessagesPerSecond; }, Goal::kRatioAtLeast, 1.0, 0);
  add(
      "polling_p99", "polling: round trip, 99th percentile", "us",
      [](F f) { return f.pollP99; }, Goal::kRatioAtMost, 1.0, 1);
  add(
      "cpu_per_mb", "server CPU per MB relayed (user+system)", "ms/MB",
      [](F f) { return f.cpuMsPerMb; }, Goal::kRatioAtMost, 1.0, 2);
  add(
      "idle_cpu", "server CPU idle, 8 clients connected", "% core",
      [](F f) { return f.idleCpuPercent; }, Goal::kQmxBelow, 0.1, 3);
  add(
      "peak_resident_memory", "peak resident memory (socat: 8 processes)", "MB",
      [](F f) { return f.peakResidentMb; }, Goal::kQmxBelow, 8.0, 1);
  add(
      "context_switches_per_mb", "  context switches per MB relayed", "1/MB",
      [](F f) { return f.contextSwitchesPerMb; }, Goal::kNone, 0, 0);
  add(
      "system_calls_per_mb", "  read/write-type system calls per MB", "1/MB",
      [](F f) { return f.systemCallsPerMb; }, Goal::kNone, 0, 0);
  add(
      "idle_wakeups_per_second", "  idle wake-ups (context switches)", "1/s",
      [](F f) { return f.idleWakeupsPerSecond; }, Goal::kNone, 0, 1);
  add(
      "threads", "  threads", "", [](F f) { return static_cast<double>(f.threads); },
      Goal::kNone, 0, 0);
  add(
      "stop_under_load", "  SIGTERM to exit, 8 lines streaming", "ms",
      [](F f) { return f.stopUnderLoadMs; }, Goal::kNone, 0, 1);

  // The TLS line, when the run had it: from each server's TLS figures.
  if (!(qmx && qmx->tls.run) && !(socat && socat->tls.run)) return rows;
  auto addTls = [&](std::string key, std::string metric, std::string unit,
                    const std::function<double(const TlsFigures&)>& value, Goal goal,
                    double bound, int decimals) {
    Row row{std::move(key), std::move(metric), std::move(unit), {}, {}, goal,
            bound,          decimals};
    if (qmx && qmx->tls.measured) row.qmx = value(qmx->tls);
    if (socat && socat->tls.measured) row.socat = value(socat->tls);
    rows.push_back(std::move(row));
  };
  using T = const TlsFigures&;
  addTls(
      "tls_throughput_one_line_client_to_device", "TLS: one line, client to device",
      "MB/s", [](T f) { return f.toDeviceMbs; }, Goal::kRatioAtLeast, 0.9, 1);
  addTls(
      "tls_throughput_one_line_device_to_client", "TLS: one line, device to client",
      "MB/s", [](T f) { return f.toClientMbs; }, Goal::kRatioAtLeast, 0.9, 1);
  addTls(
      "tls_round_trip_1_byte_median", "TLS: round trip, 1 byte, median", "us",
      [](T f) { return f.rtt1Median; }, Goal::kRatioAtMost, 1.1, 1);
  addTls(
      "tls_round_trip_1_byte_p99", "TLS: round trip, 1 byte, 99th percentile", "us",
      [](T f) { return f.rtt1P99; }, Goal::kRatioAtMost, 1.1, 1);
  addTls(
      "tls_round_trip_64_bytes_median", "TLS: round trip, 64 bytes, median", "us",
      [](T f) { return f.rtt64Median; }, Goal::kRatioAtMost, 1.1, 1);
  addTls(
      "tls_round_trip_64_bytes_p99", "TLS: round trip, 64 bytes, 99th percentile", "us",
      [](T f) { return f.rtt64P99; }, Goal::kRatioAtMost, 1.1, 1);
  addTls(
      "tls_cpu_per_mb", "TLS: server CPU per MB relayed", "ms/MB",
      [](T f) { return f.cpuMsPerMb; }, Goal::kRatioAtMost, 1.1, 2);
  return rows;
}

std::string FormatTable(const std::vector<Row>& rows,
                        const std::vector<RelayFigures>& relays) {
  const size_t kMetric = 44, kUnit = 7, kValue = 10, kRatio = 10;
  std::string out = Pad("metric", kMetric, false) + Pad("unit", kUnit, false) +
                    Pad("QMX", kValue, true) + Pad("socat", kValue, true) +
                    Pad("QMX/socat", kRatio, true) + "  target\n";
  out += std::string(kMetric + kUnit + 2 * kValue + kRatio + 22, '-') + "\n";
  for (const Row& row : rows) {
    out += Pad(row.metric, kMetric, false) + Pad(row.unit, kUnit, false) +
           Pad(Optional(row.qmx, row.decimals), kValue, true) +
           Pad(Optional(row.socat, row.decimals), kValue, true) +
           Pad(Optional(row.Ratio(), 2), kRatio, true) + "  " + row.TargetText() + "\n";
  }
  out += "\nMB = 10^6 bytes. Rows indented are diagnostics, not targets.\n";
  for (const RelayFigures& relay : relays) {
    out += relay.name + ": ";
    if (!relay.measured) {
      out += "NOT MEASURED: " + relay.setupError + "\n";
      continue;
    }
    if (relay.faults.empty()) {
      out += "every byte checked, none lost, extra or changed (" +
             Number(relay.relayedMb, 1) + " MB streamed, " +
             std::to_string(CheckedRoundTrips(relay)) + " round trips)";
    } else {
      out += "DATA FAULTS:";
      for (const std::string& fault : relay.faults) out += "\n  " + fault;
    }
    out += relay.noDelayNote.empty()
               ? "; TCP_NODELAY on " + std::to_string(relay.noDelaySockets) + " of " +
                     std::to_string(relay.clientSockets) + " client sockets"
               : "; TCP_NODELAY not checked: " + relay.noDelayNote;
    out += "\n";
    for (const std::string& note : relay.notes) out += "  note: " + note + "\n";
  }
  for (const RelayFigures& relay : relays) {
    const TlsFigures& tls = relay.tls;
    if (!tls.run) continue;
    out += relay.name + ", TLS line: ";
    if (!tls.measured) {
      out += "NOT MEASURED: " + tls.setupError + "\n";
      continue;
    }
    if (tls.faults.empty()) {
      out += "every byte checked, none lost, extra or changed (" +
             Number(tls.relayedMb, 1) + " MB streamed, " +
             std::to_string(tls.rtt1Count + tls.rtt64Count) + " round trips)";
    } else {
      out += "DATA FAULTS:";
      for (const std::string& fault : tls.faults) out += "\n  " + fault;
    }
    out += "; " + tls.protocol + " " + tls.cipher + "\n";
    for (const std::string& note : tls.notes) out += "  note: " + note + "\n";
  }
  return out;
}

std::string FormatJson(const std::vector<Row>& rows,
                       const std::vector<RelayFigures>& relays,
                       const BenchOptions& options) {
  std::string out = "{\n  \"unit_note\": \"MB = 10^6 bytes\",\n  \"rows\": [\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const std::optional<bool> met = row.Met();
    out += "    {\"key\": " + JsonString(row.key) +
           ", \"metric\": " + JsonString(row.metric) +
           ", \"unit\": " + JsonString(row.unit) + ", \"qmx\": " + JsonNumber(row.qmx) +
           ", \"socat\": " + JsonNumber(row.socat) +
           ", \"ratio\": " + JsonNumber(row.Ratio()) +
           ", \"target\": " + JsonString(row.TargetText()) +
           ", \"met\": " + (met ? (*met ? "true" : "false") : "null") + "}" +
           (i + 1 < rows.size() ? "," : "") + "\n";
  }
  out += "  ],\n  \"servers\": {\n";
  for (size_t i = 0; i < relays.size(); ++i) {
    const RelayFigures& r = relays[i];
    out += "    " + JsonString(r.name) +
           ": {\"measured\": " + (r.measured ? "true" : "false") +
           ", \"setup_error\": " + JsonString(r.setupError) +
           ", \"relayed_mb\": " + JsonNumber(r.relayedMb) +
           ", \"round_trips\": " + std::to_string(CheckedRoundTrips(r)) +
           ", \"no_delay_sockets\": " + std::to_string(r.noDelaySockets) +
           ", \"client_sockets\": " + std::to_string(r.clientSockets) +
           ", \"faults\": " + JsonList(r.faults) + ", \"notes\": " + JsonList(r.notes);
    if (r.tls.run) {
      out +=
          ", \"tls\": {\"measured\": " + std::string(r.tls.measured ? "true" : "false") +
          ", \"setup_error\": " + JsonString(r.tls.setupError) +
          ", \"protocol\": " + JsonString(r.tls.protocol) +
          ", \"cipher\": " + JsonString(r.tls.cipher) +
          ", \"relayed_mb\": " + JsonNumber(r.tls.relayedMb) +
          ", \"round_trips\": " + std::to_string(r.tls.rtt1Count + r.tls.rtt64Count) +
          ", \"faults\": " + JsonList(r.tls.faults) +
          ", \"notes\": " + JsonList(r.tls.notes) + "}";
    }
    out += std::string("}") + (i + 1 < relays.size() ? "," : "") + "\n";
  }
  out += "  },\n  \"settings\": {";
  if (options.lines > kUsualLines)
    out += "\"lines\": " + std::to_string(options.lines) + ", ";
  out += "\"one_line_mb\": " + JsonNumber(options.oneLineMb) +
         ", \"stream_mb\": " + JsonNumber(options.perStreamMb) +
         ", \"round_trips\": " + std::to_string(options.roundTrips) +
         ", \"repeat\": " + std::to_string(options.repeat) +
         ", \"idle_seconds\": " + JsonNumber(options.idleSeconds) + "}\n}\n";
  return out;
}

}  // namespace qmx::bench
