#include "engine/settings_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <system_error>
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
// line keeps its LF; a longer line is continued as the next one. Only the
// lines the reader uses are split, and each LF is looked for within the line's
// reach, so a long text without line ends costs no more than a short one.
std::vector<std::string_view> SplitReadLines(std::string_view text, size_t fileLines) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size() && lines.size() < fileLines) {
    std::string_view reach = text.substr(pos, kLineLimit);
    size_t lf = reach.find('\n');
    std::string_view line =
        lf == std::string_view::npos ? reach : reach.substr(0, lf + 1);
    // The reader sees a line as a C string: a NUL ends it.
    lines.push_back(line.substr(0, line.find('\0')));
    pos += line.size();
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

void StoreRemark(SetupSettings& settings, int slot, const Tokenizer& fields) {
  std::string remark = RemarkOf(fields);
  if (!remark.empty()) settings.remarks[slot] = std::move(remark);
}

void ParseLineTableLine(SetupSettings& settings, int j, std::string_view line) {
  Tokenizer fields(line, kFieldDelimiters);
  auto tcp = fields.Next();
  if (!tcp) return;
  settings.tcpPortText[j] = std::string(*tcp);
  if (j > 0) {
    auto serial = fields.Next();
    if (!serial) return;
    settings.serialPortText[j] = std::string(*serial);
    if (*serial == "receive") {
      auto port = fields.Next();
      if (!port) return;
      settings.serialPortText[j] = "receive " + std::string(*port);
    }
  }
  StoreRemark(settings, DataLineFileLine(j), fields);
}

void AppendDefinition(ComSetting& setting, std::string_view field) {
  std::string definition(FieldText(setting.definition));
  definition += ',';
  definition += field;
  CopyField(setting.definition, definition);
}

void ParseSerialLine(SetupSettings& settings, int n, std::string_view line) {
  ComSetting& setting = settings.comSettings[n];
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
  StoreRemark(settings, PortFileLine(n), fields);
}

void ParseMinimizeLine(SetupSettings& settings, std::string_view line) {
  Tokenizer fields(line, kFieldDelimiters);
  if (!fields.Next()) return;
  settings.startMinimized = (!line.empty() && line[0] == '1') ? 1 : 0;
  StoreRemark(settings, kMinimizeFileLine, fields);
}

void StoreInTable(LineTable& table, const SetupSettings& settings)
    REQUIRES(table.engineLock) {
  table.tcpPortText = settings.tcpPortText;
  table.serialPortText = settings.serialPortText;
  table.comSettings = settings.comSettings;
  table.setupRemarks = settings.remarks;
  table.startMinimized = settings.startMinimized;
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

// The descriptor of an open file, closed when the owner goes.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; false when the close reports an error (a delayed write error
  // of some file systems shows only here).
  bool Close() {
    if (fd_ < 0) return true;
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
};

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

bool Fail(std::string* reason, std::string text) {
  *reason = std::move(text);
  return false;
}

constexpr const char* kNotRegular = "not a regular file";

// Which file `info` describes, how long it is and when it was last written.
void StampFrom(const struct stat& info, SetupFileStamp* stamp) {
  stamp->exists = true;
  stamp->size = static_cast<int64_t>(info.st_size);
  stamp->device = static_cast<uint64_t>(info.st_dev);
  stamp->inode = static_cast<uint64_t>(info.st_ino);
  stamp->modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                      static_cast<int64_t>(info.st_mtim.tv_nsec);
}

// The reader takes the file's lines (19 for eight data lines, two more for
// each further one) of at most 99 characters; on disk such a line is at most
// 100 bytes (a CR before its LF is dropped), so this much of the file holds
// everything that is read, with room to spare. The rest is never read: a
// huge file costs no more than a small one.
constexpr size_t ReadLimit(int dataLines) {
  return static_cast<size_t>(SetupFileLines(dataLines)) * 128;
}

// Reads the start of a settings file into *raw. Only a regular file is read:
// a FIFO would block the open or the read for ever, a device (a link to
// /dev/zero) would never end, and opening some devices acts on them. So the
// name is looked at before it is opened, the open never waits, and the open
// file is checked again in case the name was swapped meanwhile. A file that
// may be read but not written (a root-owned file linked into the working
// folder, or one under a read-only file system) is read and served; only a
// save then fails. On failure *reason says why. *stamp says how the file
// looked: whether there is one at all, even when it cannot be read.
bool ReadSettingsBytes(int folderFd, const char* name, int dataLines, std::string* raw,
                       SetupFileStamp* stamp, std::string* reason) {
  const size_t kReadLimit = ReadLimit(dataLines);
  *stamp = SetupFileStamp{};
  struct stat info {};
  if (::fstatat(folderFd, name, &info, 0) != 0) {
    stamp->exists = errno != ENOENT && errno != ENOTDIR;
    return Fail(reason, ErrnoText(errno));
  }
  stamp->exists = true;
  if (!S_ISREG(info.st_mode)) return Fail(reason, kNotRegular);
  FileHandle file(::openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return Fail(reason, ErrnoText(errno));
  if (::fstat(file.get(), &info) != 0) return Fail(reason, ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) return Fail(reason, kNotRegular);
  StampFrom(info, stamp);
  int flags = ::fcntl(file.get(), F_GETFL);
  if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);

  raw->assign(kReadLimit, '\0');
  size_t have = 0;
  while (have < kReadLimit) {
    ssize_t n = ::read(file.get(), raw->data() + have, kReadLimit - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(reason, ErrnoText(errno));
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  raw->resize(have);
  stamp->head = *raw;
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a save replaces: `name` itself, or, when it is a symbolic link,
// the file at the end of its chain of links, which need not exist yet. The
// link is kept and the file it leads to gets the new text.
bool ResolveLinks(int folderFd, const char* name, std::string* target,
                  std::string* reason) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in one path
  std::string path = name;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::fstatat(folderFd, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return Fail(reason, ErrnoText(errno));
      *target = path;  // no file yet: the save creates it
      return true;
    }
    if (!S_ISLNK(info.st_mode)) {
      *target = path;
      return true;
    }
    std::array<char, PATH_MAX> buffer{};
    ssize_t n = ::readlinkat(folderFd, path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return Fail(reason, ErrnoText(errno));
    if (static_cast<size_t>(n) >= buffer.size())
      return Fail(reason, ErrnoText(ENAMETOOLONG));
    std::string link(buffer.data(), static_cast<size_t>(n));
    path = !link.empty() && link.front() == '/' ? link : DirectoryOf(path) + "/" + link;
  }
  return Fail(reason, ErrnoText(ELOOP));
}

uint64_t RandomSuffix() {
  uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) ==
      static_cast<ssize_t>(sizeof value)) {
    return value;
  }
  // Without the kernel's generator the name is only less surprising; the
  // exclusive create below keeps it safe either way, and the clock moves
  // between two attempts.
  auto now =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return now ^ (static_cast<uint64_t>(::getpid()) << 32) ^
         static_cast<uint64_t>(::gettid());
}

// `stem` followed by 16 random hex digits.
std::string RandomName(const std::string& stem) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = stem;
  for (uint64_t value = RandomSuffix(), i = 0; i < 16; ++i, value >>= 4)
    name += kHex[value & 15];
  return name;
}

// Creates a new file beside `target` that did not exist before: exclusive,
// and a link of the chosen name is neither followed nor replaced. Its name is
// random, so a name planted in advance only costs another try.
int CreateTempBeside(int folderFd, const std::string& target, mode_t mode,
                     std::string* temp, std::string* reason) {
  const std::string stem =
      DirectoryOf(target) + "/" + target.substr(target.rfind('/') + 1) + ".new-";
  int error = EEXIST;
  for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
    *temp = RandomName(stem);
    int fd = ::openat(folderFd, temp->c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    error = errno;
  }
  Fail(reason, ErrnoText(error));
  return -1;
}

// Keeps the file `target` as `target~` before a save replaces it: a second
// name for the same file, so its bytes, mode and owner stay as they are and
// nothing is copied. The name is made under a random name first and renamed
// into place, so an older `target~` is replaced whole and a link planted
// under that name is replaced, never followed. *kept names the copy.
bool KeepBeside(int folderFd, const std::string& target, std::string* kept,
                std::string* reason) {
  const std::string backup = target + "~";
  std::string temp;
  int error = EEXIST;
  for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
    temp = RandomName(backup + ".new-");
    error =
        ::linkat(folderFd, target.c_str(), folderFd, temp.c_str(), 0) == 0 ? 0 : errno;
  }
  if (error != 0) return Fail(reason, ErrnoText(error));
  if (::renameat(folderFd, temp.c_str(), folderFd, backup.c_str()) != 0) {
    error = errno;
    ::unlinkat(folderFd, temp.c_str(), 0);
    return Fail(reason, ErrnoText(error));
  }
  *kept = backup;
  return true;
}

// Replaces the settings file `name` with `text`. The text goes to a new file
// in the folder of the file that is replaced (the end of the link when `name`
// is a link), with that file's mode and owner, is flushed to the disk and
// renamed over it: a reader sees the old file or the new one, never half of
// one, and a link stays a link. A file that exists but cannot be written where
// it stands (read-only, not a regular file) is refused as a truncating write
// would refuse it. On failure nothing new is left behind. With `keepOld`, the
// file that is replaced is kept as its name with "~" (*kept names it), and
// the save fails when it cannot be kept. *written describes the new file.
bool ReplaceSettingsFile(int folderFd, const char* name, std::string_view text,
                         size_t readLimit, bool keepOld, SetupFileStamp* written,
                         std::string* kept, std::string* reason) {
  std::string target;
  if (!ResolveLinks(folderFd, name, &target, reason)) return false;

  struct stat info {};
  bool exists = ::fstatat(folderFd, target.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return Fail(reason, ErrnoText(errno));
  if (exists) {
    if (!S_ISREG(info.st_mode)) return Fail(reason, kNotRegular);
    FileHandle probe(::openat(folderFd, target.c_str(),
                              O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!probe.valid()) return Fail(reason, ErrnoText(errno));
    if (::fstat(probe.get(), &info) != 0) return Fail(reason, ErrnoText(errno));
    if (!S_ISREG(info.st_mode)) return Fail(reason, kNotRegular);
  }
  // A new file gets 0644 less the umask, as a plain create would.
  const mode_t mode = exists ? (info.st_mode & 07777) : 0644;

  std::string temp;
  FileHandle file(CreateTempBeside(folderFd, target, mode, &temp, reason));
  if (!file.valid()) return false;
  bool ok = true;
  if (exists) {
    // The owner first: changing it may clear set-id bits that the mode
    // then restores. Without the right to give the file away it stays ours.
    if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
      if (::fchown(file.get(), info.st_uid, info.st_gid) != 0) {
        (void)::fchown(file.get(), static_cast<uid_t>(-1), info.st_gid);
      }
    }
    ok = ::fchmod(file.get(), mode) == 0;
  }
  ok = ok && WriteAll(file.get(), text) && ::fsync(file.get()) == 0;
  if (!ok) *reason = ErrnoText(errno);
  struct stat newInfo {};
  if (ok && ::fstat(file.get(), &newInfo) != 0) {
    ok = false;
    *reason = ErrnoText(errno);
  }
  if (!file.Close() && ok) {
    ok = false;
    *reason = ErrnoText(errno);
  }
  if (ok && keepOld && exists && !KeepBeside(folderFd, target, kept, reason)) {
    *reason = "cannot keep the file it replaces: " + *reason;
    ok = false;
  }
  if (ok && ::renameat(folderFd, temp.c_str(), folderFd, target.c_str()) != 0) {
    ok = false;
    *reason = ErrnoText(errno);
  }
  if (!ok) {
    ::unlinkat(folderFd, temp.c_str(), 0);
    return false;
  }
  StampFrom(newInfo, written);
  written->head = std::string(text.substr(0, std::min(text.size(), readLimit)));
  // The rename itself reaches the disk with the folder.
  FileHandle folder(::openat(folderFd, DirectoryOf(target).c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) (void)::fsync(folder.get());
  return true;
}

}  // namespace

void ParseSetupInto(SetupSettings& settings, std::string_view raw) {
  std::string text = TextModeContent(raw);
  const int dataLines = settings.dataLines;
  std::vector<std::string_view> lines =
      SplitReadLines(text, static_cast<size_t>(SetupFileLines(dataLines)));
  size_t next = 0;
  auto readLine = [&](std::string_view* line) {
    if (next >= lines.size()) return false;
    *line = lines[next++];
    return true;
  };
  std::string_view line;
  if (readLine(&line)) settings.remarks[0] = std::string(line);
  for (int j = 0; j <= kDefaultDataLines; ++j) {
    if (readLine(&line)) ParseLineTableLine(settings, j, line);
  }
  for (int n = 0; n < kDefaultDataLines; ++n) {
    if (readLine(&line)) ParseSerialLine(settings, n, line);
  }
  if (readLine(&line)) ParseMinimizeLine(settings, line);
  // Each further data line: its line, then its port's. A pair the file
  // does not have is an unused line whose port has the usual settings, as a
  // save then writes it.
  for (int L = kDefaultDataLines + 1; L <= dataLines; ++L) {
    if (readLine(&line)) {
      ParseLineTableLine(settings, L, line);
    } else {
      settings.tcpPortText[L] = kUnused;
      settings.serialPortText[L] = kUnused;
    }
    if (readLine(&line)) {
      ParseSerialLine(settings, L - 1, line);
    } else {
      ParseSerialLine(settings, L - 1, "com" + std::to_string(L) + ",9600,n,8,1,n");
    }
  }
}

SetupSettings ParseSetupSettings(std::string_view text, int dataLines) {
  SetupSettings settings;
  settings.dataLines = dataLines;
  ParseSetupInto(settings, text);
  return settings;
}

SetupSettings SetupSettingsOf(LineTable& table) {
  SetupSettings settings;
  settings.dataLines = table.DataLines();
  settings.tcpPortText = table.tcpPortText;
  settings.serialPortText = table.serialPortText;
  settings.comSettings = table.comSettings;
  settings.remarks = table.setupRemarks;
  settings.startMinimized = table.startMinimized;
  return settings;
}

void ParseSetupText(LineTable& table, std::string_view raw) {
  SetupSettings settings = SetupSettingsOf(table);
  ParseSetupInto(settings, raw);
  StoreInTable(table, settings);
}

// Appends one line of the file. The reader takes at most 99 characters a
// line, LF included, and would split a longer one into two, moving every
// later line; so a line is cut to fit, its remark first.
void AppendLine(std::string& out, std::string_view text) {
  constexpr size_t kMaxText = kLineLimit - 1;  // room for the LF
  out += text.substr(0, std::min(text.size(), kMaxText));
  out += '\n';
}

std::string BuildSetupText(const SetupSettings& settings) {
  std::string out;
  std::string_view first = settings.remarks[0].empty()
                               ? std::string_view(kDefaultHeading)
                               : std::string_view(settings.remarks[0]);
  if (!first.empty() && first.back() == '\n') first.remove_suffix(1);
  AppendLine(out, first);
  AppendLine(out, settings.tcpPortText[0] + "\t" + settings.remarks[1]);
  auto dataLine = [&](int L) {
    AppendLine(out, settings.tcpPortText[L] + "," + settings.serialPortText[L] + "\t" +
                        settings.remarks[DataLineFileLine(L)]);
  };
  auto port = [&](int n) {
    const ComSetting& s = settings.comSettings[n];
    AppendLine(out, std::string(FieldText(s.name)) + "," +
                        std::string(FieldText(s.definition)) + "," +
                        std::string(FieldText(s.flow)) + "\t" +
                        settings.remarks[PortFileLine(n)]);
  };
  for (int L = 1; L <= kDefaultDataLines; ++L) dataLine(L);
  for (int n = 0; n < kDefaultDataLines; ++n) port(n);
  AppendLine(out, std::string(settings.startMinimized == 1 ? "1" : "0") + "\t" +
                      settings.remarks[kMinimizeFileLine]);
  for (int L = kDefaultDataLines + 1; L <= settings.dataLines; ++L) {
    dataLine(L);
    port(L - 1);
  }
  return out;
}

std::string BuildSetupText(LineTable& table) {
  return BuildSetupText(SetupSettingsOf(table));
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

bool ReadSetupSettings(int folderFd, int dataLines, SetupSettings* settings,
                       SetupFileStamp* stamp, std::string* reason) {
  std::string raw;
  std::string why;
  if (!ReadSettingsBytes(folderFd, kSetupFileName, dataLines, &raw, stamp, &why)) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  }
  *settings = ParseSetupSettings(raw, dataLines);
  return true;
}

bool SetupFileChanged(const SetupFileStamp& before, const SetupFileStamp& now) {
  if (!now.exists) return false;
  if (!before.exists) return true;
  if (now.size != before.size || now.head != before.head) return true;
  // The bytes read were the whole file: the same bytes are the same text,
  // whenever it was written.
  if (static_cast<int64_t>(now.head.size()) >= now.size) return false;
  return now.device != before.device || now.inode != before.inode ||
         now.modifiedNs != before.modifiedNs;
}

SetupFileStamp SetupFileStampNow(int folderFd, int dataLines) {
  std::string raw;
  std::string why;
  SetupFileStamp stamp;
  (void)ReadSettingsBytes(folderFd, kSetupFileName, dataLines, &raw, &stamp, &why);
  return stamp;
}

bool ReadSetupFile(LineTable& table, std::string* reason) {
  std::string raw;
  std::string why;
  SetupFileStamp stamp;
  if (!ReadSettingsBytes(table.FolderFd(), kSetupFileName, table.DataLines(), &raw,
                         &stamp, &why)) {
    // What the server knows of the file now is that it has none it can use:
    // a file that turns up or becomes readable before a save is kept.
    table.setupOnDisk = SetupOnDisk{true, SetupSettingsOf(table), stamp};
    if (reason != nullptr) *reason = std::move(why);
    return false;
  }
  ParseSetupText(table, raw);
  table.setupOnDisk =
      SetupOnDisk{true, ParseSetupSettings(raw, table.DataLines()), std::move(stamp)};
  return true;
}

bool WriteSetupFile(LineTable& table, std::string* reason) {
  const std::string text = ToDiskLineEnds(BuildSetupText(table));
  // A file someone changed since the server last read or wrote it holds
  // work that the save would otherwise throw away.
  const bool handEdited =
      table.setupOnDisk.known &&
      SetupFileChanged(table.setupOnDisk.stamp,
                       SetupFileStampNow(table.FolderFd(), table.DataLines()));
  std::string why;
  std::string kept;
  SetupFileStamp written;
  const bool ok = ReplaceSettingsFile(table.FolderFd(), kSetupFileName, text,
                                      ReadLimit(table.DataLines()), handEdited, &written,
                                      &kept, &why);
  if (!ok) {
    DebugTrace("write of qmx.txt failed (" + why + "); the old file is kept\n");
    if (handEdited) {
      table.sessionLog.Write(LogPriority::kError,
                             "save: qmx.txt was changed on disk since it was last read "
                             "or saved, and is not replaced: " +
                                 why);
    }
    if (reason != nullptr) *reason = std::move(why);
    return false;
  }
  if (!kept.empty()) {
    table.sessionLog.Write(LogPriority::kInfo,
                           "save: qmx.txt was changed on disk since it was last read or "
                           "saved; that file is kept as " +
                               kept);
  }
  table.setupOnDisk =
      SetupOnDisk{true, ParseSetupSettings(text, table.DataLines()), std::move(written)};
  return true;
}

}  // namespace qmx
