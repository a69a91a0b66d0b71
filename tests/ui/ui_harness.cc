#include "ui/ui_harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/line_table.h"

namespace qmx::ui::test {
namespace fs = std::filesystem;
namespace {

constexpr Ms kPatience{10000};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return fd;
  ::close(fd);
  return -1;
}

// Waits for `events` on `fd` until the deadline; the events that came.
short PollUntil(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) > 0 ? p.revents
                                                                             : 0;
}

struct ModalWatch {
  std::function<void(QWidget*)> handle;
  int seen = 0;
  bool done = false;
};

// Runs on each pass of the event loop until the opener returns; the watch is
// shared so that a pass still queued afterwards finds it done.
void LookForModal(const std::shared_ptr<ModalWatch>& watch) {
  if (watch->done) return;
  if (QWidget* modal = QApplication::activeModalWidget()) {
    ++watch->seen;
    watch->handle(modal);
    if (QApplication::activeModalWidget() == modal) {
      ADD_FAILURE() << "modal window " << modal->objectName().toStdString()
                    << " left open";
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    }
  }
  QTimer::singleShot(0, [watch] { LookForModal(watch); });
}

}  // namespace

int FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Listening(int port) {
  int fd = Connect(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

void MissingDevice(const std::string& link) {
  fs::create_symlink("/nonexistent/qmx-dev", link);
}

PtyDevice::PtyDevice(const std::string& link) {
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
    ADD_FAILURE() << "openpty";
  ::close(slave);
  fs::remove(link);
  fs::create_symlink(name, link);
}

PtyDevice::~PtyDevice() { ::close(master_); }

void PtyDevice::Write(const std::string& bytes) {
  EXPECT_EQ(::write(master_, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

std::string PtyDevice::Read(size_t count) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  char buffer[256];
  while (got.size() < count && (PollUntil(master_, POLLIN, deadline) & POLLIN)) {
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool PtyDevice::WaitHangup() {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  char buffer[256];
  for (;;) {
    short events = PollUntil(master_, POLLIN, deadline);
    if (events & POLLHUP) return true;
    if (!(events & POLLIN)) return false;
    (void)::read(master_, buffer, sizeof buffer);  // what the server sent on its way out
  }
}

TcpClient::TcpClient(int port) : fd_(Connect(port)) {}

TcpClient::~TcpClient() {
  if (fd_ >= 0) ::close(fd_);
}

void TcpClient::Send(const std::string& bytes) {
  EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

bool TcpClient::Receives(const std::string& expected) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  char buffer[512];
  while (got.find(expected) == std::string::npos) {
    if (!(PollUntil(fd_, POLLIN, deadline) & POLLIN)) return false;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool TcpClient::WaitClosed() {
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  char buffer[512];
  while (PollUntil(fd_, POLLIN, deadline) & (POLLIN | POLLHUP)) {
    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

int SetupFile::Use(int line, const std::string& serialPort) {
  int port = FreeTcpPort();
  (line == 0 ? control : tcp[line]) = std::to_string(port);
  serial[line] = serialPort;
  return port;
}

std::string SetupFile::Text() const {
  std::ostringstream out;
  out << "QMX window test\r\n" << control << "\t\r\n";
  for (int L = 1; L <= 8; ++L) {
    out << (tcp[L].empty() ? "unused" : tcp[L]) << ","
        << (serial[L].empty() ? "unused" : serial[L]) << "\t\r\n";
  }
  for (int n = 0; n < 8; ++n) {
    out << (com[n].empty() ? "com" + std::to_string(n + 1) + ",9600,n,8,1,n" : com[n])
        << "\t\r\n";
  }
  out << minimize << "\t\r\n";
  return out.str();
}

int WithModals(const std::function<void()>& open,
               const std::function<void(QWidget*)>& handle) {
  auto watch = std::make_shared<ModalWatch>();
  watch->handle = handle;
  QTimer::singleShot(0, [watch] { LookForModal(watch); });
  open();
  watch->done = true;
  return watch->seen;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

void UiTest::SetUp() {
  previous_ = fs::current_path();
  char scratch[] = "/tmp/qmx-ui-test-XXXXXX";
  ASSERT_NE(::mkdtemp(scratch), nullptr);
  dir_ = scratch;
  fs::current_path(dir_);
}

void UiTest::TearDown() {
  Stop();
  ResetLineTable();
  fs::current_path(previous_);
  fs::remove_all(dir_);
}

void UiTest::Start(const SetupFile* file, const std::string& networkSummary) {
  if (file != nullptr) std::ofstream("qmx.txt", std::ios::binary) << file->Text();
  app_ = std::make_unique<CCorvApp>();
  app_->SetNetworkSummary(networkSummary);
  ASSERT_TRUE(app_->InitInstance());
  QCoreApplication::processEvents();  // let the window settle as it would on screen
}

void UiTest::Stop() {
  if (app_ != nullptr) app_->ExitInstance();
  app_.reset();
}

void UiTest::Click(int id) {
  auto* button = Find<QAbstractButton>(id);
  ASSERT_NE(button, nullptr) << id;
  button->click();
}

QString UiTest::Shows(int id) const {
  if (auto* combo = Find<QComboBox>(id)) return combo->currentText();
  return Find<QLineEdit>(id)->text();
}

void UiTest::Type(int comboId, const QString& text) {
  QLineEdit* edit = Find<QComboBox>(comboId)->lineEdit();
  edit->clear();
  QTest::keyClicks(edit, text);
}

}  // namespace qmx::ui::test
