// Fuzz target: the settings file reader.
//
// Any byte string may stand in qmx.txt: the operator edits it by hand, and
// the server reads whatever is there. ParseSetupText must take any of them
// without a fault, and where the save had nothing to cut or end (every line
// within the reader's 99 characters, the first line ended), the table it
// yields must survive a save and a reload: a saved file, read and saved
// again, is the same file, and the text BuildSetupText makes of the table, stored
// with CR LF line ends as WriteSetupFile stores it, reads back into the same
// table (with the heading that stands in for a missing first line).
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/line_table.h"
#include "engine/settings_file.h"
#include "fuzz_check.h"
#include "platform/fixed_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

// The one line table every input runs against.
LineTable& lineTable = Table();

// Everything the settings file fills, as plain comparable values.
struct SettingsSnapshot {
  std::array<std::string, kMaxLineCount> tcpPort;
  std::array<std::string, kMaxLineCount> serialPort;
  std::array<std::array<std::string, 7>, kDefaultDataLines> com;
  std::array<std::string, kMaxFileLines> remarks;
  int32_t minimized = 0;

  bool operator==(const SettingsSnapshot&) const = default;
};

constexpr const char* kComFieldNames[7] = {"name",     "definition", "baud", "parity",
                                           "dataBits", "stopBits",   "flow"};

SettingsSnapshot TakeSnapshot() REQUIRES(lineTable.engineLock) {
  SettingsSnapshot s;
  s.tcpPort = lineTable.tcpPortText;
  s.serialPort = lineTable.serialPortText;
  for (int n = 0; n < kDefaultDataLines; ++n) {
    const ComSetting& c = lineTable.comSettings[n];
    s.com[n] = {std::string(FieldText(c.name)),     std::string(FieldText(c.definition)),
                std::string(FieldText(c.baud)),     std::string(FieldText(c.parity)),
                std::string(FieldText(c.dataBits)), std::string(FieldText(c.stopBits)),
                std::string(FieldText(c.flow))};
  }
  s.remarks = lineTable.setupRemarks;
  s.minimized = lineTable.startMinimized;
  return s;
}

// The first field, in the order of the file's lines, in which two snapshots
// differ, with both values.
std::string FirstDifference(const SettingsSnapshot& a, const SettingsSnapshot& b) {
  std::string found;
  auto compare = [&](const std::string& field, const std::string& x,
                     const std::string& y) {
    if (found.empty() && x != y) {
      found =
          field + ": \"" + fuzz::Visible(x) + "\" became \"" + fuzz::Visible(y) + "\"";
    }
  };
  auto index = [](const char* name, int i) {
    return name + ("[" + std::to_string(i) + "]");
  };
  compare("setupRemarks[0]", a.remarks[0], b.remarks[0]);
  for (int j = 0; j < (kDefaultDataLines + 1); ++j) {
    compare(index("tcpPortText", j), a.tcpPort[j], b.tcpPort[j]);
    compare(index("serialPortText", j), a.serialPort[j], b.serialPort[j]);
    compare(index("setupRemarks", 1 + j), a.remarks[1 + j], b.remarks[1 + j]);
  }
  for (int n = 0; n < kDefaultDataLines; ++n) {
    for (size_t f = 0; f < a.com[n].size(); ++f) {
      compare(index("comSettings", n) + "." + kComFieldNames[f], a.com[n][f],
              b.com[n][f]);
    }
    compare(index("setupRemarks", 10 + n), a.remarks[10 + n], b.remarks[10 + n]);
  }
  compare("startMinimized", std::to_string(a.minimized), std::to_string(b.minimized));
  compare("setupRemarks[18]", a.remarks[18], b.remarks[18]);
  return found;
}

SettingsSnapshot ReadFromScratch(std::string_view text) REQUIRES(lineTable.engineLock) {
  lineTable.ResetLineTableLocked();
  ParseSetupText(lineTable, text);
  return TakeSnapshot();
}

void CheckReadsBack(const SettingsSnapshot& table, std::string_view text,
                    std::string_view what) REQUIRES(lineTable.engineLock) {
  const SettingsSnapshot again = ReadFromScratch(text);
  if (again == table) return;
  fuzz::Fail(what, FirstDifference(table, again) + "\nwritten text: \"" +
                       fuzz::Visible(text) + "\"");
}

}  // namespace
}  // namespace qmx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmx;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  MutexLock lock(lineTable.engineLock);

  SettingsSnapshot table = ReadFromScratch(input);
  const std::string written = BuildSetupText(lineTable);

  // A line of 98 characters may have been cut to fit the reader's limit; a
  // first line without its LF gets one. Then the table may differ, by design.
  bool cut = !table.remarks[0].empty() && table.remarks[0].back() != '\n';
  for (size_t start = 0; start < written.size();) {
    size_t end = written.find('\n', start);
    cut = cut || end - start >= 98;
    start = end + 1;
  }
  if (!cut) {
    ReadFromScratch(ToDiskLineEnds(written));
    const std::string rewritten = BuildSetupText(lineTable);
    if (rewritten != written) {
      fuzz::Fail("a saved settings file, read and saved again, changed",
                 "first: \"" + fuzz::Visible(written) + "\"\nsecond: \"" +
                     fuzz::Visible(rewritten) + "\"");
    }
    // A file without a first line gets a heading in its place when it is saved.
    if (table.remarks[0].empty()) {
      table.remarks[0] = written.substr(0, written.find('\n') + 1);
    }
    CheckReadsBack(table, ToDiskLineEnds(written),
                   "a saved settings file does not read back into the same table");
  }
  lineTable.ResetLineTableLocked();
  return 0;
}
