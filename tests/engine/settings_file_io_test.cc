// qmx.txt on disk: odd files are refused without waiting, a read is bounded,
// a save replaces only the file it should; texts for standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "engine/line_table.h"
#include "engine/settings_file.h"
#include "platform/printable_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {
namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A scratch folder that is the working directory while the test runs.
class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    Table().ResetLineTable();
    char pattern[] = "/tmp/qmx-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);  // a saver without privileges must reach it
    fs::create_directory(root_ / "work");
    fs::create_directory(root_ / "etc");
    previous_ = fs::current_path();
    fs::current_path(root_ / "work");
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(root_);
    Table().ResetLineTable();
  }
  void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  // Runs `call` on its own thread; nothing when it has not ended in a minute
  // (the thread is then left behind, stuck, and the test fails).
  static std::optional<bool> Bounded(std::function<bool()> call) {
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    std::thread([done, call] { done->set_value(call()); }).detach();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return {};
    return result.get();
  }
  fs::path root_, previous_;
};

constexpr const char* kText =
    "heading\r\n9001\tremark\r\n9002,com1\t\r\n9003,receive com1\t\r\n"
    "unused,unused\r\nunused,unused\r\nunused,unused\r\nunused,unused\r\n"
    "unused,unused\r\nunused,unused\r\ncom1,9600,n,8,1,n\t\r\ncom2,19200,e,7,2,h\r\n"
    "com3\r\ncom4\r\ncom5\r\ncom6\r\ncom7\r\ncom8,9600,n,8,1,x\tlast\r\n1\tend\r\n";

TEST_F(SettingsFiles, ReadRefusesFifosAndDevicesWithoutWaiting) {
  MutexLock lock(Table().engineLock);
  std::string reason;
  // Reads on Bounded's thread while this one holds engineLock for it and waits.
  auto read = [&] {
    Table().engineLock.AssertHeld();
    return ReadSetupFile(Table(), &reason);
  };
  ASSERT_EQ(::mkfifo("qmx.txt", 0644), 0);
  EXPECT_EQ(Bounded(read), std::optional<bool>(false));
  EXPECT_EQ(reason, "not a regular file");
  fs::remove("qmx.txt");
  fs::create_symlink("/dev/zero", "qmx.txt");
  EXPECT_EQ(Bounded(read), std::optional<bool>(false));
  EXPECT_EQ(reason, "not a regular file");
  fs::remove("qmx.txt");
  EXPECT_FALSE(ReadSetupFile(Table(), &reason));
  EXPECT_EQ(reason, "No such file or directory");
}

// Everything the reader stores, to compare two reads.
std::vector<std::string> TableTexts() REQUIRES(Table().engineLock) {
  std::vector<std::string> texts(Table().tcpPortText.begin(), Table().tcpPortText.end());
  texts.insert(texts.end(), Table().serialPortText.begin(), Table().serialPortText.end());
  texts.insert(texts.end(), Table().setupRemarks.begin(), Table().setupRemarks.end());
  for (const ComSetting& c : Table().comSettings) {
    texts.emplace_back(FieldText(c.name));
    texts.emplace_back(FieldText(c.definition));
    texts.emplace_back(FieldText(c.flow));
  }
  texts.push_back(std::to_string(Table().startMinimized));
  return texts;
}

long ReadBytesSoFar() {  // bytes this process has read, from /proc/self/io
  std::ifstream io("/proc/self/io");
  for (std::string key; io >> key;) {
    long value = -1;
    io >> value;
    if (key == "rchar:") return value;
  }
  return -1;
}

TEST_F(SettingsFiles, ReadTakesOnlyTheStartOfAHugeFileAndReadsItTheSame) {
  MutexLock lock(Table().engineLock);
  // Lines of the longest kind (98 characters and CR LF; 99 and CR LF, which
  // the reader splits) with a long tail: the bounded read stores what a read
  // of the whole text would.
  std::string longest;
  for (int i = 0; i < 25; ++i)
    longest += std::string(98 + i % 2, static_cast<char>('a' + i)) + "\r\n";
  for (const std::string& text :
       {std::string(kText) + std::string(100000, 'x'), longest}) {
    Table().ResetLineTableLocked();
    ParseSetupText(Table(), text);
    std::vector<std::string> whole = TableTexts();
    Table().ResetLineTableLocked();
    Write("qmx.txt", text);
    ASSERT_TRUE(ReadSetupFile(Table()));
    EXPECT_EQ(TableTexts(), whole);
  }
  // A sparse file of 8 MiB is read no further than its first lines.
  Write("qmx.txt", kText);
  ASSERT_EQ(::truncate("qmx.txt", 8L << 20), 0);
  const long before = ReadBytesSoFar();
  if (before < 0) GTEST_SKIP() << "no /proc/self/io";
  ASSERT_TRUE(ReadSetupFile(Table()));
  EXPECT_LT(ReadBytesSoFar() - before, 64 * 1024);
  EXPECT_EQ(Table().tcpPortText[0], "9001");
  EXPECT_EQ(Table().startMinimized, 1);
}

TEST_F(SettingsFiles, SaveKeepsALinkAndReplacesTheFileItLeadsTo) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kText);
  const std::string saved = ToDiskLineEnds(BuildSetupText(Table()));
  Write(root_ / "etc" / "qmx.txt", "old text\r\n");
  ::chmod((root_ / "etc" / "qmx.txt").c_str(), 0600);
  // qmx.txt -> ../etc/link -> qmx.txt (relative, two links).
  fs::create_symlink("qmx.txt", root_ / "etc" / "link");
  fs::create_symlink("../etc/link", "qmx.txt");
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_TRUE(fs::is_symlink("qmx.txt"));
  EXPECT_EQ(fs::read_symlink("qmx.txt"), "../etc/link");
  EXPECT_EQ(Slurp(root_ / "etc" / "qmx.txt"), saved);
  EXPECT_EQ(fs::status(root_ / "etc" / "qmx.txt").permissions(), fs::perms(0600));
  // A link to a file that does not exist yet: the file is made, the link stays.
  fs::remove("qmx.txt");
  fs::create_symlink(root_ / "etc" / "new.txt", "qmx.txt");
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_TRUE(fs::is_symlink("qmx.txt"));
  EXPECT_EQ(Slurp(root_ / "etc" / "new.txt"), saved);
  // Nothing else was made in either folder.
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "etc"), {}), 3);
}

TEST_F(SettingsFiles, SaveNeverFollowsOrReplacesAPlantedName) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kText);
  Write(root_ / "etc" / "victim", "precious");
  fs::create_symlink(root_ / "etc" / "victim", "qmx.txt.new");
  Write("qmx.txt", "old");
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_EQ(Slurp(root_ / "etc" / "victim"), "precious");
  EXPECT_EQ(fs::read_symlink("qmx.txt.new"), root_ / "etc" / "victim");
  EXPECT_FALSE(fs::is_symlink("qmx.txt"));
  EXPECT_EQ(Slurp("qmx.txt"), ToDiskLineEnds(BuildSetupText(Table())));
}

// A file changed on disk since the server read or saved it is kept as its
// name with "~" beside the file a save replaces; bytes written again as they
// were are no change, and a link planted under the copy's name is replaced.
TEST_F(SettingsFiles, SaveKeepsAFileEditedSinceItWasReadAndNothingElse) {
  MutexLock lock(Table().engineLock);
  Write("qmx.txt", kText);
  ASSERT_TRUE(ReadSetupFile(Table()));
  Write("qmx.txt", kText);  // written again, the same bytes
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_FALSE(fs::exists("qmx.txt~"));

  Write("qmx.txt", "edited by hand\r\n");
  Write(root_ / "etc" / "victim", "precious");
  fs::create_symlink(root_ / "etc" / "victim", "qmx.txt~");
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_FALSE(fs::is_symlink("qmx.txt~"));
  EXPECT_EQ(Slurp("qmx.txt~"), "edited by hand\r\n");
  EXPECT_EQ(Slurp(root_ / "etc" / "victim"), "precious");
  ASSERT_TRUE(WriteSetupFile(Table()));  // nothing edited since the save
  EXPECT_EQ(Slurp("qmx.txt~"), "edited by hand\r\n");

  // Through a link: the copy sits beside the file the link leads to.
  fs::remove("qmx.txt");
  fs::remove("qmx.txt~");
  Write(root_ / "etc" / "qmx.txt", kText);
  fs::create_symlink(root_ / "etc" / "qmx.txt", "qmx.txt");
  ASSERT_TRUE(ReadSetupFile(Table()));
  Write(root_ / "etc" / "qmx.txt", "edited there\r\n");
  ASSERT_TRUE(WriteSetupFile(Table()));
  EXPECT_EQ(Slurp(root_ / "etc" / "qmx.txt~"), "edited there\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 1);
}

// Saves in a child process; when the tests run as root the child becomes
// nobody, so that a folder owned by root is closed to it.
bool SaveAsAnotherUser() REQUIRES(Table().engineLock) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    ::_exit(WriteSetupFile(Table()) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(SettingsFiles, SaveThatCannotWriteFailsAndLeavesNothingBehind) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kText);
  auto entries = [] { return std::distance(fs::directory_iterator("."), {}); };
  // Not a regular file: a folder, or a link to a FIFO (which must not block).
  fs::create_directory("qmx.txt");
  EXPECT_FALSE(WriteSetupFile(Table()));
  fs::remove("qmx.txt");
  ASSERT_EQ(::mkfifo((root_ / "etc" / "fifo").c_str(), 0644), 0);
  fs::create_symlink(root_ / "etc" / "fifo", "qmx.txt");
  EXPECT_EQ(Bounded([] {
              Table().engineLock.AssertHeld();  // held by the test for this thread
              return WriteSetupFile(Table());
            }),
            std::optional<bool>(false));
  EXPECT_EQ(entries(), 1);
  fs::remove("qmx.txt");
  // A folder the saver may not write, holding a qmx.txt it may write.
  Write("qmx.txt", "old");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown("qmx.txt", 65534, 65534), 0);
  } else {
    ::chmod(".", 0555);
  }
  EXPECT_FALSE(SaveAsAnotherUser());
  ::chmod(".", 0755);
  EXPECT_EQ(entries(), 1);
  EXPECT_EQ(Slurp("qmx.txt"), "old");
}

// A settings file its reader may read but not write (a root-owned file
// linked in for a service user) is read and served; saving it fails.
TEST_F(SettingsFiles, AFileThatMayOnlyBeReadIsReadAndNotSaved) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kText);
  const std::string text = ToDiskLineEnds(BuildSetupText(Table()));
  Table().ResetLineTableLocked();
  Write(root_ / "etc" / "qmx.txt", text);
  ::chmod((root_ / "etc" / "qmx.txt").c_str(), 0444);
  fs::create_symlink(root_ / "etc" / "qmx.txt", "qmx.txt");
  ::chmod(".", 0555);  // nor may a new file be made beside it
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::string reason;
    if (!ReadSetupFile(Table(), &reason)) ::_exit(3);
    if (ToDiskLineEnds(BuildSetupText(Table())) != text) ::_exit(4);
    ::_exit(WriteSetupFile(Table()) ? 5 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod(".", 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "2 no other user, 3 not read, 4 read wrong, 5 saved";
  EXPECT_EQ(Slurp("qmx.txt"), text);
}

TEST(PrintableText, EscapesWhatWouldActOnATerminalOrSplitALine) {
  EXPECT_EQ(PrintableText("\x1b[2Jcom1\r\n\a\x7f"), R"(\x1b[2Jcom1\x0d\x0a\x07\x7f)");
  EXPECT_EQ(PrintableText(std::string("a\0b\\c", 5)), R"(a\x00b\\c)");
  // Well-formed UTF-8 stays; bytes that are not, and C1 controls, do not.
  EXPECT_EQ(PrintableText("QMX\u3000Cann't \U0001F600"), "QMX\u3000Cann't \U0001F600");
  EXPECT_EQ(PrintableText("\xff\x80\xe3\x80 \xc0\xaf\xed\xa0\x80\xc2\x9b"),
            R"(\xff\x80\xe3\x80 \xc0\xaf\xed\xa0\x80\xc2\x9b)");
  for (int c = 0; c < 256; ++c) {
    for (char out : PrintableText(std::string(1, static_cast<char>(c)))) {
      EXPECT_GE(static_cast<unsigned char>(out), 0x20);
    }
  }
  // An empty name in a message is shown, not left as a gap.
  EXPECT_EQ(FormatMessage1(kMsgPortFailure, ""), "\"\" open failure");
  EXPECT_EQ(FormatMessage1(kMsgTcpPortFailure, "9002"), "TCP port 9002 open failure");
}

}  // namespace
}  // namespace qmx
