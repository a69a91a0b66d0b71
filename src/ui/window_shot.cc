// qmx-window-shot: renders the main window into a PNG file, for the README.
//
//   QT_QPA_PLATFORM=offscreen build/bin/qmx-window-shot docs/qmx-window.png
//
// Runs the real server start-up in a scratch directory with a sample qmx.txt
// and two pseudo-terminals standing in for com1 and com4 (com3 has no device,
// so its line shows a failed activation), has a client move some bytes each
// way on data line 1 so that its traffic columns show counts and an address,
// grabs the window and shuts down.
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <cstdio>
#include <filesystem>
#include <string>

#include "server/server.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
#include "testsupport/tcp_client.h"
#include "testsupport/wait_for.h"
#include "ui/corv_app.h"
#include "ui/form_controls.h"
#include "ui/main_frame.h"
#include "ui/resources.h"
#include "ui/traffic_fields.h"

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

// A client of data line 1 (TCP port 8002, bridged to com1) sends a little
// and gets more back; true once the window shows both counts.
bool MoveSampleTraffic(qmx::testsupport::TcpClient& client,
                       qmx::testsupport::PtyDevice& com1, const QWidget* frame) {
  const std::string up(1200, 'u');
  const std::string down(35000, 'd');
  if (!client.Send(up) || com1.Read(up.size()) != up || !com1.Write(down) ||
      client.ReadCount(down.size()) != down)
    return false;
  using qmx::ui::Control;
  const auto* toClient = Control<QLineEdit>(frame, qmx::ui::kFormLines[1].toClientId);
  const QString shown = qmx::ui::ByteCountTip(down.size());
  return qmx::testsupport::WaitFor([&] {
    QApplication::processEvents();
    return toClient->toolTip() == shown;
  });
}

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
      qmx::testsupport::TcpClient client(8002);
      if (!MoveSampleTraffic(client, com1, app.MainFrame())) {
        std::fprintf(stderr, "qmx-window-shot: no traffic on data line 1\n");
      } else if (app.MainFrame()->grab().save(QString::fromStdString(output.string()))) {
        result = 0;
      }
    }
    app.ExitInstance();
  }

  if (result == 0) std::printf("wrote %s\n", output.c_str());
  return result;
}
