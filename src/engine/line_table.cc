#include "engine/line_table.h"

#include "platform/fixed_text.h"

namespace qmx {

std::mutex engineLock;

std::array<std::string, kLineCount> tcpPortText;
std::array<std::string, kLineCount> serialPortText;
char lineStatus[kLineCount][16];
std::array<std::atomic<int32_t>, kPortCount> routeTable;
std::array<ComSetting, kPortCount> comSettings;
std::array<std::string, 19> setupRemarks;
int32_t startMinimized = 0;

ByteQueue cmdQueue;
ByteQueue txQueue[kPortCount];
ByteQueue rxQueue[kPortCount];
Event wakeEvent;

std::vector<std::string> errorLog;
int32_t errorLogIndex = 0;
int32_t errorLogSize = 0;
int32_t errorLogWrapped = 0;

namespace {
std::function<void(const std::string&)> errorLogListener;
}

void AdvanceRing(int32_t& index, int32_t size, int32_t& wrapped) {
  if (size <= 0) return;
  index = (index + 1) % size;
  if (wrapped == 0 && index >= size - 1) wrapped = 1;
}

std::vector<std::string> ListRing(const std::vector<std::string>& slots, int32_t index,
                                  int32_t size, int32_t wrapped) {
  std::vector<std::string> out;
  if (size <= 0 || static_cast<int32_t>(slots.size()) < size) return out;
  if (wrapped == 0) {
    for (int32_t i = 0; i < index; ++i) out.push_back(slots[i]);
  } else {
    for (int32_t k = 0; k < size; ++k) {
      const std::string& entry = slots[(index + k) % size];
      if (!entry.empty()) out.push_back(entry);
    }
  }
  return out;
}

void SizeErrorLog() {
  errorLog.assign(kLogSize, std::string());
  errorLogIndex = 0;
  errorLogSize = kLogSize;
  errorLogWrapped = 0;
}

void AdvanceErrorLog() { AdvanceRing(errorLogIndex, errorLogSize, errorLogWrapped); }

void AppendErrorLog(const std::string& text) {
  if (errorLogSize <= 0 || static_cast<int32_t>(errorLog.size()) < errorLogSize) {
    SizeErrorLog();
  }
  errorLog[errorLogIndex] = text;
  AdvanceErrorLog();
  if (errorLogListener) errorLogListener(text);
}

void ClearErrorLog() { errorLog.clear(); }

void SetErrorLogListener(std::function<void(const std::string&)> listener) {
  errorLogListener = std::move(listener);
}

std::string FormatMessage1(std::string_view message, std::string_view argument) {
  std::string out(message);
  size_t at = out.find("%1");
  if (at != std::string::npos) out.replace(at, 2, argument);
  return out;
}

void SetLineStatus(int line, std::string_view text) { CopyField(lineStatus[line], text); }

std::string_view LineStatusText(int line) { return FieldText(lineStatus[line]); }

void ResetLineTable() {
  for (auto& t : tcpPortText) t.clear();
  for (auto& t : serialPortText) t.clear();
  for (auto& s : lineStatus) s[0] = '\0';
  for (auto& r : routeTable) r.store(-1);
  for (auto& c : comSettings) c = ComSetting{};
  for (auto& r : setupRemarks) r.clear();
  startMinimized = 0;
  errorLog.clear();
  errorLogIndex = 0;
  errorLogSize = 0;
  errorLogWrapped = 0;
}

}  // namespace qmx
