#include "metrics/exposition.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qmx {
namespace {

struct Label {
  std::string_view name;
  std::string_view value;
};

void AppendLabelValue(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

// Writes the families one after the other. A family's HELP and TYPE lines
// go out with its first sample, so a family without samples leaves no
// trace. Help texts are constants here, free of backslashes and newlines,
// so they need no escaping.
class Page {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    name_ = name;
    type_ = type;
    help_ = help;
    announced_ = false;
  }

  void Sample(std::initializer_list<Label> labels, uint64_t value) {
    if (!announced_) {
      out_.append("# HELP ").append(name_).append(" ").append(help_).append("\n");
      out_.append("# TYPE ").append(name_).append(" ").append(type_).append("\n");
      announced_ = true;
    }
    out_ += name_;
    const char* separator = "{";
    for (const Label& label : labels) {
      out_.append(separator).append(label.name).append("=\"");
      AppendLabelValue(out_, label.value);
      out_ += '"';
      separator = ",";
    }
    if (labels.size() != 0) out_ += '}';
    out_.append(" ").append(std::to_string(value)).append("\n");
  }

  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  std::string_view name_;
  std::string_view type_;
  std::string_view help_;
  bool announced_ = false;
};

}  // namespace

std::string RenderMetrics(const ServerStats& stats) {
  Page page;
  const auto started = std::chrono::duration_cast<std::chrono::seconds>(
      stats.startTime.time_since_epoch());
  page.Family("qmx_start_time_seconds", "gauge",
              "When the server started, in seconds since the Unix epoch.");
  page.Sample({}, static_cast<uint64_t>(std::max<int64_t>(started.count(), 0)));

  // The line label of each line, made once.
  std::vector<std::string> ids;
  for (const LineStats& line : stats.lines) ids.push_back(std::to_string(line.line));
  auto eachLine = [&](auto&& sample) {
    for (size_t i = 0; i < stats.lines.size(); ++i) sample(stats.lines[i], ids[i]);
  };

  page.Family("qmx_line_listening", "gauge",
              "Whether the line listens for clients (0 is the control line).");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}}, l.tcpPort != 0 ? 1 : 0);
  });
  page.Family("qmx_line_tcp_port", "gauge",
              "The TCP port the line listens on, 0 while it does not.");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}}, static_cast<uint64_t>(std::max(l.tcpPort, 0)));
  });
  page.Family("qmx_line_clients", "gauge", "Clients connected to the line now.");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}}, l.clients.size());
  });
  page.Family("qmx_line_bytes_total", "counter",
              "Bytes the line's clients sent (to_device) and were sent (to_client).");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}, {"direction", "to_device"}}, l.bytesToDevice);
    page.Sample({{"line", id}, {"direction", "to_client"}}, l.bytesToClient);
  });
  page.Family("qmx_line_connections_total", "counter",
              "Clients admitted to the line, and clients its allow-list refused.");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}, {"result", "accepted"}}, l.accepted);
    page.Sample({{"line", id}, {"result", "refused"}}, l.refused);
  });
  page.Family("qmx_line_drops_total", "counter",
              "Clients the server dropped: stalled, gone by keep-alive, or idle.");
  eachLine([&](const LineStats& l, std::string_view id) {
    page.Sample({{"line", id}, {"reason", "stalled"}}, l.dropsStalled);
    page.Sample({{"line", id}, {"reason", "keepalive"}}, l.dropsKeepalive);
    page.Sample({{"line", id}, {"reason", "idle"}}, l.dropsIdle);
  });

  page.Family("qmx_port_open", "gauge", "Whether the serial port is open.");
  for (const PortStats& p : stats.ports) {
    page.Sample({{"port", p.name}}, p.state == PortState::kOpen ? 1 : 0);
  }
  page.Family("qmx_port_waiting", "gauge",
              "Whether the serial port is waiting for its device to come back.");
  for (const PortStats& p : stats.ports) {
    page.Sample({{"port", p.name}}, p.state == PortState::kAwaitingDevice ? 1 : 0);
  }
  page.Family("qmx_port_bytes_total", "counter",
              "Bytes the port's device took (to_device) and sent (from_device).");
  for (const PortStats& p : stats.ports) {
    page.Sample({{"port", p.name}, {"direction", "to_device"}}, p.bytesToDevice);
    page.Sample({{"port", p.name}, {"direction", "from_device"}}, p.bytesFromDevice);
  }
  page.Family("qmx_port_device_losses_total", "counter",
              "Times the port's device went away while the port was open.");
  for (const PortStats& p : stats.ports) page.Sample({{"port", p.name}}, p.deviceLosses);
  page.Family("qmx_port_device_returns_total", "counter",
              "Times the port's device came back after it went away.");
  for (const PortStats& p : stats.ports) page.Sample({{"port", p.name}}, p.deviceReturns);
  page.Family("qmx_port_line_errors_total", "counter",
              "Line errors the port's device counted while the server held it.");
  for (const PortStats& p : stats.ports) {
    if (!p.lineErrorsKnown) continue;
    const LineErrorStats& e = p.lineErrors;
    page.Sample({{"port", p.name}, {"kind", "frame"}}, e.frame);
    page.Sample({{"port", p.name}, {"kind", "parity"}}, e.parity);
    page.Sample({{"port", p.name}, {"kind", "overrun"}}, e.overrun);
    page.Sample({{"port", p.name}, {"kind", "break"}}, e.brk);
    page.Sample({{"port", p.name}, {"kind", "buffer_overrun"}}, e.bufferOverrun);
  }
  return page.Take();
}

}  // namespace qmx
