#include "engine/line_table.h"

#include "platform/fixed_text.h"

namespace qmx {

Mutex engineLock;

std::array<std::string, kLineCount> tcpPortText;
std::array<std::string, kLineCount> serialPortText;
char lineStatus[kLineCount][16];
std::array<std::atomic<int32_t>, kPortCount> routeTable;
std::array<ComSetting, kPortCount> comSettings;
std::array<std::string, 19> setupRemarks;
int32_t startMinimized = 0;

std::atomic<int32_t> refreshNeeded{0};

namespace {
std::atomic<uint32_t> rfc2217Lines{0};
}  // namespace

void SetRfc2217Lines(uint32_t mask) { rfc2217Lines.store(mask & 0xFFu); }
uint32_t Rfc2217Lines() { return rfc2217Lines.load(std::memory_order_relaxed); }
bool Rfc2217Line(int line) {
  return line >= 1 && line < kLineCount &&
         (Rfc2217Lines() & (1u << static_cast<unsigned>(line - 1))) != 0;
}

ByteQueue cmdQueue;
ByteQueue txQueue[kPortCount];
ByteQueue rxQueue[kPortCount];
Event wakeEvent;

LogRing errorLog;

namespace {
std::function<void(const std::string&)> errorLogListener;
}

void SizeErrorLog() { errorLog.Size(kLogSize); }

void AppendErrorLog(const std::string& text) {
  errorLog.Append(text);
  if (errorLogListener) errorLogListener(text);
}

void ClearErrorLog() { errorLog.Clear(); }

std::vector<std::string> ErrorLogListing() { return errorLog.Listing(); }

void SetErrorLogListener(std::function<void(const std::string&)> listener) {
  errorLogListener = std::move(listener);
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

void SetLineStatus(int line, std::string_view text) { CopyField(lineStatus[line], text); }

std::string_view LineStatusText(int line) { return FieldText(lineStatus[line]); }

void ResetLineTable() {
  MutexLock lock(engineLock);
  ResetLineTableLocked();
}

void ResetLineTableLocked() {
  for (auto& t : tcpPortText) t.clear();
  for (auto& t : serialPortText) t.clear();
  for (auto& s : lineStatus) s[0] = '\0';
  for (auto& r : routeTable) r.store(-1);
  for (auto& c : comSettings) c = ComSetting{};
  for (auto& r : setupRemarks) r.clear();
  startMinimized = 0;
  errorLog.Clear();
}

}  // namespace qmx
