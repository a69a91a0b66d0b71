// stats | stats PORT: what the server has done since it started, one
// "key=value" item per line after a first line that says how many follow, so
// a script knows where the reply ends. qmx-protocol(7) lists the keys.
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "engine/stats.h"
#include "platform/printable_text.h"
#include "protocol/command_support.h"
#include "protocol/commands.h"
#include "protocol/replies.h"

namespace qmx {
namespace {

class Items {
 public:
  void Add(const std::string& key, const std::string& value) {
    // A value never breaks the reply's lines: control bytes are escaped.
    lines_.push_back(key + "=" + PrintableText(value));
  }
  void Add(const std::string& key, uint64_t value) { Add(key, std::to_string(value)); }

  std::string Reply() const {
    std::string reply = "200 Statistics: " + std::to_string(lines_.size()) + " lines\r\n";
    for (const std::string& line : lines_) reply += line + "\r\n";
    return reply;
  }

 private:
  std::vector<std::string> lines_;
};

void AddLine(Items& items, const LineStats& line) {
  const std::string key = "line." + std::to_string(line.line) + ".";
  items.Add(key + "tcp_port", static_cast<uint64_t>(line.tcpPort));
  if (line.line > 0) items.Add(key + "serial_port", line.serialPort);
  items.Add(key + "bytes_to_device", line.bytesToDevice);
  items.Add(key + "bytes_to_client", line.bytesToClient);
  items.Add(key + "connections_accepted", line.accepted);
  items.Add(key + "connections_refused", line.refused);
  items.Add(key + "drops_stalled", line.dropsStalled);
  items.Add(key + "drops_keepalive", line.dropsKeepalive);
  items.Add(key + "drops_idle", line.dropsIdle);
  items.Add(key + "clients", static_cast<uint64_t>(line.clients.size()));
  for (size_t i = 0; i < line.clients.size(); ++i) {
    const ClientStats& client = line.clients[i];
    const std::string clientKey = key + "client." + std::to_string(i + 1) + ".";
    items.Add(clientKey + "address", client.address);
    items.Add(clientKey + "since", Iso8601Utc(client.since));
    items.Add(clientKey + "bytes_to_device", client.bytesToDevice);
    items.Add(clientKey + "bytes_to_client", client.bytesToClient);
  }
}

void AddPort(Items& items, const PortStats& port) {
  const std::string key = "port." + port.name + ".";
  items.Add(key + "state", PortStateName(port.state));
  items.Add(key + "bytes_to_device", port.bytesToDevice);
  items.Add(key + "bytes_from_device", port.bytesFromDevice);
  items.Add(key + "device_losses", port.deviceLosses);
  items.Add(key + "device_returns", port.deviceReturns);
  if (!port.lineErrorsKnown) return;  // the device keeps no line counters
  items.Add(key + "line_errors.frame", port.lineErrors.frame);
  items.Add(key + "line_errors.parity", port.lineErrors.parity);
  items.Add(key + "line_errors.overrun", port.lineErrors.overrun);
  items.Add(key + "line_errors.break", port.lineErrors.brk);
  items.Add(key + "line_errors.buffer_overrun", port.lineErrors.bufferOverrun);
}

}  // namespace

int CmdStats(LineTable& table, Parameter parameter) {
  const std::optional<std::string_view> field = FirstField(parameter, /*limited=*/false);
  if (field && FindConfiguredPort(table, *field) < 0 && FindOpenPort(table, *field) < 0)
    return SendCmdReply(table, kReplyUnusedPort);
  const ServerStats stats = CollectStats(table);
  Items items;
  items.Add("server.start_time", Iso8601Utc(stats.startTime));
  items.Add("server.start_time_seconds",
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                      stats.startTime.time_since_epoch())
                                      .count()));
  // With a port: that port, and the lines that get its bytes.
  for (const LineStats& line : stats.lines) {
    if (!field || (line.line > 0 && line.serialPort == *field)) AddLine(items, line);
  }
  for (const PortStats& port : stats.ports) {
    if (!field || port.name == *field) AddPort(items, port);
  }
  return SendCmdReply(table, items.Reply());
}

}  // namespace qmx
