#include "ui/corv_app.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <mutex>

#include "engine/line_table.h"
#include "engine/startup.h"
#include "relay/corv_doc.h"
#include "server/server.h"
#include "ui/corv_view.h"
#include "ui/main_frame.h"
#include "ui/resources.h"

namespace qmx::ui {
namespace {

QString Caption() {
  return QString::fromLatin1(kDocumentTitle) + QStringLiteral(" - ") +
         QString::fromLatin1(kFrameTitle);
}

}  // namespace

CCorvApp::CCorvApp(Server& server) : server_(server) {}

CCorvApp::~CCorvApp() { ExitInstance(); }

CCorvDoc* CCorvApp::Document() const { return &server_.Document(); }

bool CCorvApp::InitInstance() {
  if (started_) return frame_ != nullptr;
  started_ = true;

  // The profile lives under Velmar/qmx; the server itself stores nothing
  // there, its whole configuration is qmx.txt.
  QCoreApplication::setOrganizationName(QStringLiteral("Velmar"));
  QCoreApplication::setApplicationName(QString::fromLatin1(kAppTitle));
  QApplication::setWindowIcon(MainIcon());

  // The server comes up before any window exists; whatever failed is in the
  // error log and shows in the status boxes.
  LineTable& table = server_.Table();
  ServerStartup(table);

  bool minimized = false;
  {
    MutexLock lock(table.engineLock);
    minimized = table.startMinimized != 0;
  }

  CCorvDoc* document = &server_.Document();
  document->fatalErrorHandler = [this](const char* message) {
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kAppTitle),
                    QString::fromLatin1(message), QMessageBox::Ok, frame_.get());
    box.exec();
  };
  frame_ = std::make_unique<CMainFrame>(document);
  // The document's title is fixed, so the caption never changes.
  frame_->setWindowTitle(Caption());
  if (!networkSummary_.empty()) {
    auto* where =
        new QLabel(QString::fromStdString(networkSummary_));  // owned by the bar
    where->setObjectName(QStringLiteral("networkSummary"));
    frame_->statusBar()->addPermanentWidget(where);
  }
  QObject::connect(frame_->aboutAction(), &QAction::triggered, frame_.get(),
                   [this] { OnAppAbout(); });
  QObject::connect(frame_->helpAction(), &QAction::triggered, frame_.get(),
                   [this] { OnHelpFinder(); });
  QObject::connect(frame_->newAction(), &QAction::triggered, frame_.get(),
                   [this] { OnFileNew(); });

  document->OnNewDocument();
  frame_->View()->OnInitialUpdate();
  if (minimized) {
    frame_->showMinimized();
  } else {
    frame_->show();
  }
  frame_->update();
  return true;
}

void CCorvApp::ExitInstance() {
  if (!started_) return;
  started_ = false;
  // The window goes first (its timer with it); then every line is shut
  // down, which closes wakeEvent and so ends the relay thread.
  frame_.reset();
  ServerShutdown(server_.Table());
  server_.Document().JoinRelayThread();
  server_.Document().fatalErrorHandler = nullptr;
}

void CCorvApp::OnAppAbout() {
  CAboutDlg dialog(frame_.get());
  dialog.exec();
}

void CCorvApp::OnHelpFinder() {
  CHelpDlg dialog(frame_.get());
  dialog.exec();
}

void CCorvApp::OnFileNew() {
  // A new document re-initialises the one there is: the document keeps its
  // command log and its relay thread, the form reloads from the line table.
  if (frame_ == nullptr) return;
  server_.Document().OnNewDocument();
  frame_->setWindowTitle(Caption());
  frame_->View()->OnInitialUpdate();
}

}  // namespace qmx::ui
