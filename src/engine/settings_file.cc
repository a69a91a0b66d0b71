#include "engine/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/line_table.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"

namespace qmx {
namespace {

constexpr std::string_view kFieldDelimiters = " ,\t\n";
constexpr size_t kLineLimit = 99;  // characters per line read, as fgets(100)
constexpr const char* kDefaultHeading = "QMX serial port server settings\n";

// Splits text-mode content into the lines a 100-byte fgets would return: each
// line keeps its LF; a longer line is continued as the next one.
std::vector<std::string_view> SplitReadLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    if (end - pos > kLineLimit) end = pos + kLineLimit;
    // The reader sees a line as a C string: a NUL ends it.
    std::string_view line = text.substr(pos, end - pos);
    lines.push_back(line.substr(0, line.find('\0')));
    pos = end;
  }
  return lines;
}

// The remark: what follows the delimiter that ended the last needed field,
// leading CRs and LFs skipped, up to the next CR or LF.
std::string RemarkOf(const Tokenizer& fields) {
  std::string_view rest = fields.Rest();
  size_t start = rest.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return {};
  rest.remove_prefix(start);
  size_t end = rest.find_first_of("\r\n");
  return std::string(rest.substr(0, end));
}

void StoreRemark(int slot, const Tokenizer& fields) {
  std::string remark = RemarkOf(fields);
  if (!remark.empty()) setupRemarks[slot] = std::move(remark);
}

void ParseLineTableLine(int j, std::string_view line) {
  Tokenizer fields(line, kFieldDelimiters);
  auto tcp = fields.Next();
  if (!tcp) return;
  tcpPortText[j] = std::string(*tcp);
  if (j > 0) {
    auto serial = fields.Next();
    if (!serial) return;
    serialPortText[j] = std::string(*serial);
    if (*serial == "receive") {
      auto port = fields.Next();
      if (!port) return;
      serialPortText[j] = "receive " + std::string(*port);
    }
  }
  StoreRemark(1 + j, fields);
}

void AppendDefinition(ComSetting& setting, std::string_view field) {
  std::string definition(FieldText(setting.definition));
  definition += ',';
  definition += field;
  CopyField(setting.definition, definition);
}

void ParseSerialLine(int n, std::string_view line) {
  ComSetting& setting = comSettings[n];
  Tokenizer fields(line, kFieldDelimiters);
  auto name = fields.Next();
  if (!name) return;
  CopyField(setting.name, *name);
  auto baud = fields.Next();
  if (!baud) return;
  CopyField(setting.baud, *baud);
  CopyField(setting.definition, *baud);
  auto parity = fields.Next();
  if (!parity) return;
  CopyField(setting.parity, *parity);
  AppendDefinition(setting, *parity);
  auto data = fields.Next();
  if (!data) return;
  CopyField(setting.dataBits, *data);
  AppendDefinition(setting, *data);
  auto stop = fields.Next();
  if (!stop) return;
  CopyField(setting.stopBits, *stop);
  AppendDefinition(setting, *stop);
  auto flow = fields.Next();
  if (!flow) return;
  CopyField(setting.flow, *flow);
  StoreRemark(10 + n, fields);
}

void ParseMinimizeLine(std::string_view line) {
  Tokenizer fields(line, kFieldDelimiters);
  if (!fields.Next()) return;
  startMinimized = (!line.empty() && line[0] == '1') ? 1 : 0;
  StoreRemark(18, fields);
}

std::string TextModeContent(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

void ParseSetupText(std::string_view raw) {
  std::string text = TextModeContent(raw);
  std::vector<std::string_view> lines = SplitReadLines(text);
  size_t next = 0;
  auto readLine = [&](std::string_view* line) {
    if (next >= lines.size()) return false;
    *line = lines[next++];
    return true;
  };
  std::string_view line;
  if (readLine(&line)) setupRemarks[0] = std::string(line);
  for (int j = 0; j < kLineCount; ++j) {
    if (readLine(&line)) ParseLineTableLine(j, line);
  }
  for (int n = 0; n < kPortCount; ++n) {
    if (readLine(&line)) ParseSerialLine(n, line);
  }
  if (readLine(&line)) ParseMinimizeLine(line);
}

// Appends one line of the file. The reader takes at most 99 characters a
// line, LF included, and would split a longer one into two, moving every
// later line; so a line is cut to fit, its remark first.
void AppendLine(std::string& out, std::string_view text) {
  constexpr size_t kMaxText = kLineLimit - 1;  // room for the LF
  out += text.substr(0, std::min(text.size(), kMaxText));
  out += '\n';
}

std::string BuildSetupText() {
  std::string out;
  std::string_view first = setupRemarks[0].empty() ? std::string_view(kDefaultHeading)
                                                   : std::string_view(setupRemarks[0]);
  if (!first.empty() && first.back() == '\n') first.remove_suffix(1);
  AppendLine(out, first);
  AppendLine(out, tcpPortText[0] + "\t" + setupRemarks[1]);
  for (int L = 1; L < kLineCount; ++L) {
    AppendLine(out, tcpPortText[L] + "," + serialPortText[L] + "\t" + setupRemarks[1 + L]);
  }
  for (int n = 0; n < kPortCount; ++n) {
    const ComSetting& s = comSettings[n];
    AppendLine(out, std::string(FieldText(s.name)) + "," + std::string(FieldText(s.definition)) +
                        "," + std::string(FieldText(s.flow)) + "\t" + setupRemarks[10 + n]);
  }
  AppendLine(out, std::string(startMinimized == 1 ? "1" : "0") + "\t" + setupRemarks[18]);
  return out;
}

std::string ToDiskLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 32);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool ReadSetupFile() {
  int fd = ::open(kSetupFileName, O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::string raw;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  ParseSetupText(raw);
  return true;
}

bool WriteSetupFile() {
  // The file must be writable where it stands (a directory or a read-only
  // mount of that name refuses), as a plain truncating write would require.
  int probe = ::open(kSetupFileName, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (probe < 0) return false;
  ::close(probe);

  const std::string temp = std::string(kSetupFileName) + ".new";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, ToDiskLineEnds(BuildSetupText())) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = std::rename(temp.c_str(), kSetupFileName) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    DebugTrace("write of qmx.txt failed; the old file is kept\n");
  }
  return ok;
}

}  // namespace qmx
