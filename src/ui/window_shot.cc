// qmx-window-shot: renders the main window into a PNG file, for the README.
//
//   QT_QPA_PLATFORM=offscreen build/bin/qmx-window-shot docs/qmx-window.png
//
// Runs the real server start-up in a scratch directory with a sample qmx.txt
// and two pseudo-terminals standing in for com1 and com4 (com3 has no device,
// so its line shows a failed activation), grabs the window and shuts down.
#include <QApplication>
#include <QMainWindow>
#include <QPixmap>
#include <cstdio>
#include <filesystem>
#include <string>

#include "server/server.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
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
  const std::filesystem::path output = std::filesystem::absolute(argv[1]);
  qmx::testsupport::ScratchDir scratch("qmx-window-shot");
  if (!scratch.ok()) return 1;

  // Two devices: com1 and com4 (line 4 bridges com4); com3 is left missing.
  qmx::testsupport::PtyDevice com1("com1");
  qmx::testsupport::PtyDevice com4("com4");
  if (!com1.ok() || !com4.ok() || !scratch.WriteFile("qmx.txt", kSampleSetup)) {
    std::fprintf(stderr, "qmx-window-shot: %s%s\n", com1.error().c_str(),
                 com4.error().c_str());
    return 1;
  }

  int result = 1;
  {
    QApplication application(argc, argv);
    qmx::Server server(".");
    qmx::ui::CCorvApp app(server);
    if (app.InitInstance()) {
      QApplication::processEvents();
      result =
          app.MainFrame()->grab().save(QString::fromStdString(output.string())) ? 0 : 1;
    }
    app.ExitInstance();
  }

  if (result == 0) std::printf("wrote %s\n", output.c_str());
  return result;
}
