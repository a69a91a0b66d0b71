// qmx-window-shot: renders the main window into a PNG file, for the README.
//
//   QT_QPA_PLATFORM=offscreen build/bin/qmx-window-shot docs/qmx-window.png
//
// Runs the real server start-up in a scratch directory with a sample qmx.txt
// and two pseudo-terminals standing in for com1 and com4 (com3 has no device,
// so its line shows a failed activation), grabs the window and shuts down.
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QMainWindow>
#include <QPixmap>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ui/corv_app.h"
#include "ui/main_frame.h"

namespace {

const char kSampleSetup[] =
    "QMX settings\r\n"
    "8001\t\r\n"
    "8002,com1\t\r\n"
    "8003,receive com1\t\r\n"
    "8004,com3\t\r\n"
    "8005,com4\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "com1,9600,n,8,1,n\t\r\n"
    "com2,9600,n,8,1,n\t\r\n"
    "com3,9600,n,8,1,n\t\r\n"
    "com4,19200,e,7,1,x\t\r\n"
    "com5,9600,n,8,1,n\t\r\n"
    "com6,9600,n,8,1,n\t\r\n"
    "com7,9600,n,8,1,n\t\r\n"
    "com8,9600,n,8,1,n\t\r\n"
    "0\t\r\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmx-window-shot OUTPUT.png\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path output = fs::absolute(argv[1]);
  const fs::path previous = fs::current_path();
  char scratch[] = "/tmp/qmx-window-shot-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 1;
  fs::current_path(scratch);

  // Two devices: com1 and com4 (line 4 bridges com4); com3 is left missing.
  int masters[2] = {-1, -1};
  int slaves[2] = {-1, -1};
  const char* links[2] = {"com1", "com4"};
  for (int i = 0; i < 2; ++i) {
    char name[256] = {};
    if (openpty(&masters[i], &slaves[i], name, nullptr, nullptr) != 0) return 1;
    fs::create_symlink(name, links[i]);
  }
  std::ofstream(std::string("qmx.txt"), std::ios::binary) << kSampleSetup;

  int result = 1;
  {
    QApplication application(argc, argv);
    qmx::ui::CCorvApp app;
    if (app.InitInstance()) {
      QApplication::processEvents();
      result =
          app.MainFrame()->grab().save(QString::fromStdString(output.string())) ? 0 : 1;
    }
    app.ExitInstance();
  }

  for (int i = 0; i < 2; ++i) {
    ::close(masters[i]);
    ::close(slaves[i]);
  }
  fs::current_path(previous);
  fs::remove_all(scratch);
  if (result == 0) std::printf("wrote %s\n", output.c_str());
  return result;
}
