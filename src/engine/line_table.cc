#include "engine/line_table.h"

#include "platform/fixed_text.h"

namespace qmx {

LineTable::LineTable(int folderFd, DeviceOpener* opener, Network* network, int dataLines)
    : serial(folderFd, opener),
      net(network, &sessionLog),
      folderFd_(folderFd),
      dataLines_(dataLines) {
  for (auto& route : routeTable) route.store(-1);
}

LineTable::~LineTable() {
  // The threads that fill the queues end before the queues go: the socket
  // layer and the serial ports are members declared after the queues, so
  // they are destroyed first.
}

bool LineTable::Rfc2217Line(int line) const {
  return line >= 1 && line < LineCount() &&
         (Rfc2217Lines() & (uint64_t{1} << static_cast<unsigned>(line - 1))) != 0;
}

void LineTable::AppendErrorLog(const std::string& text) {
  errorLog.Append(text);
  std::function<void(const std::string&)> listener;
  {
    MutexLock lock(listenerMutex_);
    listener = errorLogListener_;
  }
  if (listener) listener(text);
}

void LineTable::SetErrorLogListener(std::function<void(const std::string&)> listener) {
  MutexLock lock(listenerMutex_);
  errorLogListener_ = std::move(listener);
}

std::string WithReason(std::string_view entry, std::string_view reason) {
  std::string text(entry);
  if (reason.empty()) return text;
  text += ": ";
  text += reason;
  return text;
}

std::string FormatMessage1(std::string_view message, std::string_view argument) {
  std::string out(message);
  size_t at = out.find("%1");
  // An empty text would leave a message with a gap where the name belongs
  // (" open failure"); "" says that the name itself was empty.
  if (at != std::string::npos) out.replace(at, 2, argument.empty() ? "\"\"" : argument);
  return out;
}

void LineTable::SetLineStatus(int line, std::string_view text) {
  CopyField(lineStatus[line], text);
}

std::string_view LineTable::LineStatusText(int line) {
  return FieldText(lineStatus[line]);
}

void LineTable::ResetLineTable() {
  MutexLock lock(engineLock);
  ResetLineTableLocked();
}

void LineTable::ResetLineTableLocked() {
  for (auto& t : tcpPortText) t.clear();
  for (auto& t : serialPortText) t.clear();
  for (auto& s : lineStatus) s[0] = '\0';
  for (auto& r : routeTable) r.store(-1);
  for (auto& c : comSettings) c = ComSetting{};
  for (auto& r : setupRemarks) r.clear();
  startMinimized = 0;
  setupOnDisk = SetupOnDisk{};
  errorLog.Clear();
}

}  // namespace qmx
