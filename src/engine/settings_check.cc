#include "engine/settings_check.h"

#include <map>

#include "engine/settings_file.h"
#include "net/net_access.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "serial/line_settings.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

// Where each line of the table stands in the file: line 2 the control line,
// lines 3 to 10 the data lines, lines 11 to 18 the ports' settings.
// 1-based, as an editor numbers the file's lines.
int FileLineOfLine(int line) { return DataLineFileLine(line) + 1; }
int FileLineOfPort(int n) { return PortFileLine(n) + 1; }

class Checker {
 public:
  Checker(const SetupSettings& checked, int folderFd)
      : settings(checked), folderFd_(folderFd) {}

  const SetupSettings& settings;

  void Problem(int fileLine, std::string entry) {
    problems_.push_back({fileLine, std::move(entry)});
  }

  // A TCP port text must be a port, and no two lines may listen on one.
  void TcpPort(int line) {
    const std::string& text = settings.tcpPortText[line];
    const std::string failure = FormatMessage1(kMsgTcpPortFailure, text);
    uint16_t port = 0;
    if (!ParsePortText(text, &port)) {
      Problem(FileLineOfLine(line), WithReason(failure, TcpErrorText(TCP_ERROR_PORT)));
      return;
    }
    auto [first, fresh] = used_.emplace(port, line);
    if (!fresh) {
      Problem(FileLineOfLine(line),
              WithReason(failure, "the port of " + LineName(first->second) + " as well"));
    }
  }

  // A bridged line's port: settings that parse, a device that may be one.
  void BridgedPort(int line, int n) {
    const ComSetting& com = settings.comSettings[n];
    const std::string failure = FormatMessage1(kMsgPortFailure, FieldText(com.name));
    if (!ParseDefinition(FieldText(com.definition))) {
      Problem(FileLineOfPort(n),
              WithReason(failure, "line settings \"" +
                                      std::string(FieldText(com.definition)) +
                                      "\" are not baud,parity,data,stop"));
    }
    const std::string device = RsDeviceProblem(folderFd_, com.name);
    if (!device.empty()) Problem(FileLineOfLine(line), WithReason(failure, device));
  }

  std::vector<SettingsProblem> Take() { return std::move(problems_); }

 private:
  static std::string LineName(int line) {
    return line == 0 ? "the control line" : "data line " + std::to_string(line);
  }

  const int folderFd_;
  std::vector<SettingsProblem> problems_;
  std::map<uint16_t, int> used_;  // TCP port -> the first line that has it
};

}  // namespace

std::vector<SettingsProblem> CheckSetupSettings(const SetupSettings& settings,
                                                int folderFd) {
  Checker check(settings, folderFd);
  if (settings.tcpPortText[0] != kUnused) check.TcpPort(0);
  for (int line = 1; line < settings.dataLines + 1; ++line) {
    const int n = line - 1;
    const std::string& serial = settings.serialPortText[line];
    if (settings.tcpPortText[line] == kUnused || serial == kUnused) continue;
    check.TcpPort(line);
    const std::string own(FieldText(settings.comSettings[n].name));
    if (serial == own) {
      check.BridgedPort(line, n);
    } else if (serial.starts_with("receive")) {
      // A copy line needs a port that a bridged line opens at start-up.
      const size_t blank = serial.find(' ');
      const std::string wanted =
          blank == std::string::npos ? "" : serial.substr(blank + 1);
      bool served = false;
      for (int other = 1; other < settings.dataLines + 1; ++other) {
        served = served || (settings.tcpPortText[other] != kUnused &&
                            settings.serialPortText[other] == wanted &&
                            FieldText(settings.comSettings[other - 1].name) == wanted);
      }
      if (!served) {
        check.Problem(FileLineOfLine(line),
                      "data line " + std::to_string(line) + " copies " +
                          (wanted.empty() ? std::string("no port") : wanted) +
                          ", which no data line serves");
      }
    } else {
      check.Problem(FileLineOfLine(line),
                    WithReason(FormatMessage1(kMsgPortFailure, serial),
                               "data line " + std::to_string(line) + " serves only " +
                                   (own.empty() ? std::string("an unnamed port") : own) +
                                   " (line " + std::to_string(FileLineOfPort(n)) + ")"));
    }
  }
  return check.Take();
}

std::vector<SettingsProblem> CheckSetupFile(LineTable& table) {
  SetupSettings settings;
  SetupFileStamp stamp;
  std::string reason;
  if (!ReadSetupSettings(table.FolderFd(), table.DataLines(), &settings, &stamp,
                         &reason)) {
    return {{0, WithReason(FormatMessage1(kMsgCannotOpen, kSetupFileName), reason)}};
  }
  return CheckSetupSettings(settings, table.FolderFd());
}

std::string FormatSettingsProblem(const SettingsProblem& problem) {
  std::string text = kSetupFileName;
  if (problem.fileLine > 0) text += ":" + std::to_string(problem.fileLine);
  return text + ": " + problem.entry;
}

}  // namespace qmx
