#include "ui/main_frame.h"

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBrowser>
#include <vector>

#include "engine/line_table.h"
#include "relay/corv_doc.h"
#include "ui/corv_view.h"
#include "ui/dialog_units.h"
#include "ui/form_controls.h"
#include "ui/resources.h"

namespace qmx::ui {
namespace {

constexpr Qt::WindowFlags kDialogFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowCloseButtonHint;

QAction* AddCommand(QMenu* menu, int id, const QString& text) {
  QAction* action = menu->addAction(text);
  action->setObjectName(IdName(id));
  return action;
}

// What "Find Help Topic" shows: the control commands and the settings file.
const char kHelpText[] = R"(<h3>QMX Server</h3>
<p>QMX makes the serial ports com1 to com8 reachable over TCP/IP (com1 to
com<i>N</i> when started with <tt>--lines</tt> <i>N</i>). Data line
<i>L</i> bridges its TCP port to port com<i>L</i>, or copies another port's
input to its client. Change a line in the window and press <b>OK</b> to apply
it; <b>Save setup</b> writes the applied setup to qmx.txt.</p>
<h4>Control line commands</h4>
<p>Connect to the control line's TCP port (8001 by default), type a command and
press Enter. Every reply begins with a three-digit code.</p>
<table>
<tr><td><tt>hello</tt></td><td>answers with the version</td></tr>
<tr><td><tt>open com1[,baud,parity,data,stop,flow]</tt></td>
    <td>opens a port, e.g. <tt>open com1,19200,n,8,1,n</tt></td></tr>
<tr><td><tt>receive com1</tt></td><td>copies the port's input to a further data line</td></tr>
<tr><td><tt>close com1</tt> / <tt>close 8002</tt></td><td>closes a port or a data line</td></tr>
<tr><td><tt>status [com1]</tt></td><td>the data lines, or one port's settings and errors</td></tr>
<tr><td><tt>save</tt></td><td>writes qmx.txt</td></tr>
<tr><td><tt>help</tt>, <tt>?</tt></td><td>lists the commands</td></tr>
</table>
<h4>The settings file qmx.txt</h4>
<p>Read from the working directory at start-up; 19 lines, fields separated by
commas, blanks or tabs, text after the last field kept as a remark:</p>
<ol>
<li>a free first line</li>
<li>the control line's TCP port, e.g. <tt>8001</tt></li>
<li>lines 3 to 10: each data line's TCP port and serial port, e.g.
<tt>8002,com1</tt>, <tt>8003,receive com1</tt> or <tt>unused,unused</tt></li>
<li>lines 11 to 18: each port's name, baud, parity (n, e, o), data bits,
stop bits and flow (h hardware, x Xon/Xoff, n none), e.g.
<tt>com1,9600,n,8,1,n</tt></li>
<li>line 19: <tt>1</tt> to start the window minimized, else <tt>0</tt></li>
<li>with more than eight data lines, two lines for each further data line:
its TCP port and serial port, then its port's settings</li>
</ol>)";

}  // namespace

QIcon MainIcon() {
  // A nine-pin serial connector.
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPolygonF shell({{2, 8}, {30, 8}, {26, 24}, {6, 24}});
  painter.setPen(QPen(QColor(40, 40, 90), 1.5));
  painter.setBrush(QColor(90, 120, 200));
  painter.drawPolygon(shell);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(250, 230, 120));
  for (int i = 0; i < 5; ++i) painter.drawEllipse(QPointF(7.0 + 4.5 * i, 13.0), 1.6, 1.6);
  for (int i = 0; i < 4; ++i)
    painter.drawEllipse(QPointF(9.25 + 4.5 * i, 19.0), 1.6, 1.6);
  painter.end();
  return QIcon(pixmap);
}

CMainFrame::CMainFrame(CCorvDoc* document) {
  setObjectName(QStringLiteral("frame"));
  setWindowIcon(MainIcon());
  setWindowTitle(QString::fromLatin1(kFrameTitle));

  QMenu* file = menuBar()->addMenu(QStringLiteral("File(&F)"));
  QAction* exitAction = AddCommand(file, ID_APP_EXIT, QStringLiteral("Exit(&X)"));
  QObject::connect(exitAction, &QAction::triggered, this, &QWidget::close);

  // One entry per port of the server; only com1 to com9 have a one-digit
  // mnemonic.
  QMenu* setup = menuBar()->addMenu(QStringLiteral("Serial setup(&S)"));
  std::vector<QAction*> setupActions;
  for (int n = 0; n < document->Table().DataLines(); ++n) {
    const QString text = n < 9 ? QStringLiteral("com%1(&%1)...").arg(n + 1)
                               : QStringLiteral("com%1...").arg(n + 1);
    setupActions.push_back(AddCommand(setup, SetupComId(n), text));
  }

  QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("Help(&H)"));
  help_ = AddCommand(helpMenu, ID_HELP_FINDER, QStringLiteral("Find Help Topic(&H)"));
  helpMenu->addSeparator();
  about_ = AddCommand(helpMenu, ID_APP_ABOUT, QStringLiteral("About QMX(&A)..."));

  // Ctrl+N has no menu entry; it re-initialises the document and the form.
  new_ = new QAction(this);
  new_->setObjectName(IdName(ID_FILE_NEW));
  new_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  addAction(new_);

  view_ = new CCorvView(document, this);
  scroll_ = new QScrollArea(this);
  scroll_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  scroll_->setWidget(view_);
  scroll_->setWidgetResizable(false);
  setCentralWidget(scroll_);

  for (int n = 0; n < static_cast<int>(setupActions.size()); ++n) {
    QObject::connect(setupActions[n], &QAction::triggered, view_,
                     [this, n] { view_->OnSetupCom(n); });
  }
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::ResizeParentToFit(QSize formSize, int shownHeight) {
  const int edge = 2 * scroll_->frameWidth();
  int width = formSize.width();
  int height = formSize.height();
  if (height > shownHeight) {
    height = shownHeight;
    width += scroll_->verticalScrollBar()->sizeHint().width();
  }
  QSize fit(width + edge, menuBar()->sizeHint().height() + height + edge);
  if (isVisible()) fit = fit.boundedTo(size());
  resize(fit);
}

CAboutDlg::CAboutDlg(QWidget* owner) : QDialog(owner, kDialogFlags) {
  const DialogUnits units(DialogFont());
  setObjectName(IdName(IDD_ABOUTBOX));
  setWindowTitle(QStringLiteral("About QMX"));
  setFont(DialogFont());
  setFixedSize(units.X(179), units.Y(55));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(MainIcon().pixmap(32, 32));
  icon->setGeometry(units.X(11), units.Y(17), 32, 32);
  MakeStatic(this, units, {40, 10, 60, 8}, QString::fromLatin1(kVersionText));
  auto* ok = MakeButton(this, units, IDOK, {115, 5, 50, 14}, QStringLiteral("OK"));
  ok->setDefault(true);
  ok->setFocus();
  QObject::connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CHelpDlg::CHelpDlg(QWidget* owner) : QDialog(owner, kDialogFlags) {
  const DialogUnits units(DialogFont());
  setObjectName(QStringLiteral("help"));
  setWindowTitle(QStringLiteral("QMX Help"));
  setFont(DialogFont());
  setFixedSize(units.X(260), units.Y(250));

  auto* text = new QTextBrowser(this);
  text->setObjectName(QStringLiteral("helpText"));
  text->setHtml(QString::fromUtf8(kHelpText));
  text->setGeometry(units.Rect({5, 5, 250, 220}));
  auto* ok = MakeButton(this, units, IDOK, {205, 231, 50, 14}, QStringLiteral("OK"));
  ok->setDefault(true);
  ok->setFocus();
  QObject::connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace qmx::ui
