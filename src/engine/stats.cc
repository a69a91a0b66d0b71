#include "engine/stats.h"

#include <ctime>

#include "platform/fixed_text.h"

namespace qmx {
namespace {

uint64_t Read(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

// The name port k goes by now: its open record's, the one it waits for, or
// the configured one; "" for a port nobody named.
std::string PortName(LineTable& table, int k) REQUIRES(table.engineLock) {
  switch (table.portState[k].load()) {
    case PortState::kOpen:
      return std::string(FieldText(table.serial.rsPorts[k].name));
    case PortState::kAwaitingDevice:
      return table.awaitedSettings[k].name;
    case PortState::kClosed:
      break;
  }
  return std::string(FieldText(table.comSettings[k].name));
}

LineStats CollectLine(LineTable& table, int L) REQUIRES(table.engineLock) {
  TcpLine& record = table.net.tcpLines[L];
  LineStats line;
  line.line = L;
  line.tcpPort = table.net.TcpLineListening(L) ? record.listenPort.load() : 0;
  if (L > 0) {
    const int route = table.routeTable[L - 1].load();
    if (route >= 0 && route < table.DataLines()) line.serialPort = PortName(table, route);
  }
  // The control line's figures are those of all its sessions together.
  const int sessions = L == 0 ? kMaxControlClients : 1;
  for (int s = 0; s < sessions; ++s) {
    TcpLine& part = table.net.tcpLines[static_cast<size_t>(ControlSessionRecord(s))];
    const TcpLine& counted = L == 0 ? part : record;
    const LineTally& tally = counted.tally;
    line.bytesToDevice += Read(tally.bytesFromClients);
    line.bytesToClient += Read(tally.bytesToClients);
    line.accepted += Read(tally.accepted);
    line.refused += Read(tally.refused);
    line.dropsStalled += Read(tally.dropsStalled);
    line.dropsKeepalive += Read(tally.dropsKeepalive);
    line.dropsIdle += Read(tally.dropsIdle);
    TcpLine& holder = L == 0 ? part : record;
    std::shared_ptr<ClientConnection> client;
    {
      MutexLock lock(holder.clientMutex);
      client = holder.client;
    }
    if (client) {
      line.clients.push_back(ClientStats{client->Name(), client->tally.since,
                                         Read(client->tally.received),
                                         Read(client->tally.sent)});
    }
  }
  return line;
}

PortStats CollectPort(LineTable& table, int k) REQUIRES(table.engineLock) {
  const PortTally& tally = table.serial.rsPorts[k].tally;
  PortStats port;
  port.index = k;
  port.name = PortName(table, k);
  port.state = table.portState[k].load();
  port.bytesToDevice = Read(tally.bytesWritten);
  port.bytesFromDevice = Read(tally.bytesRead);
  port.deviceLosses = Read(tally.deviceLosses);
  port.deviceReturns = Read(tally.deviceReturns);
  port.lineErrorsKnown = tally.lineErrorsKnown.load();
  if (port.lineErrorsKnown) {
    port.lineErrors =
        LineErrorStats{Read(tally.frame), Read(tally.parity), Read(tally.overrun),
                       Read(tally.brk), Read(tally.bufferOverrun)};
  }
  return port;
}

}  // namespace

ServerStats CollectStats(LineTable& table) {
  ServerStats stats;
  stats.startTime = table.startTime.load();
  for (int L = 0; L < table.LineCount(); ++L)
    stats.lines.push_back(CollectLine(table, L));
  for (int k = 0; k < table.DataLines(); ++k) {
    PortStats port = CollectPort(table, k);
    if (!port.name.empty()) stats.ports.push_back(std::move(port));
  }
  return stats;
}

std::string StatsSummary(const ServerStats& stats) {
  int lines = 0;
  size_t clients = 0;
  int waiting = 0;
  for (const LineStats& line : stats.lines) {
    if (line.line > 0 && line.tcpPort != 0) ++lines;
    clients += line.clients.size();
  }
  for (const PortStats& port : stats.ports)
    if (port.state == PortState::kAwaitingDevice) ++waiting;
  std::string text = std::to_string(lines) + (lines == 1 ? " line, " : " lines, ") +
                     std::to_string(clients) + (clients == 1 ? " client" : " clients");
  if (waiting == 1) text += ", 1 port waiting for its device";
  if (waiting > 1)
    text += ", " + std::to_string(waiting) + " ports waiting for their devices";
  return text;
}

const char* PortStateName(PortState state) {
  switch (state) {
    case PortState::kOpen:
      return "open";
    case PortState::kAwaitingDevice:
      return "waiting";
    case PortState::kClosed:
      break;
  }
  return "closed";
}

std::string Iso8601Utc(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace qmx
