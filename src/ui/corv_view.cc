#include "ui/corv_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <mutex>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "engine/startup.h"
#include "engine/stats.h"
#include "net/socket_layer.h"
#include "relay/corv_doc.h"
#include "relay/relay_requests.h"
#include "ui/form_controls.h"
#include "ui/main_frame.h"
#include "ui/resources.h"
#include "ui/traffic_fields.h"

namespace qmx::ui {
namespace {

QStringList TcpPortEntries(int line) {
  return {QString::fromLatin1(kUnused), QString::fromLatin1(TcpDefaultPortText(line))};
}

// "unused", the line's own port, then a copy of every other port of the
// server's input; data line 4 also offers a copy of its own port.
QStringList SerialPortEntries(int line, int dataLines) {
  QStringList entries{QString::fromLatin1(kUnused), QStringLiteral("com%1").arg(line)};
  for (int m = 1; m <= dataLines; ++m) {
    if (m != line || line == 4) entries << QStringLiteral("receive com%1").arg(m);
  }
  return entries;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

QString RowTitle(const FormLine& row, int line) {
  return row.label != nullptr ? QString::fromLatin1(row.label)
                              : QStringLiteral("Data Line %1").arg(line);
}

// Where each row's status box sits across, and its height.
constexpr DluRect kStatusColumn{115, 0, 30, 14};

// Line `line`'s TLS mark: a bold "TLS" level with `group`'s title, right-aligned
// over the row's status box (`column`, in pixels), where the title leaves the
// row free. Hidden until the view finds the line is a TLS line.
QLabel* MakeTlsMark(QWidget* form, const QGroupBox* group, const QRect& column,
                    int line) {
  QStyleOptionGroupBox option;
  option.initFrom(group);
  option.text = group->title();
  option.subControls = QStyle::SC_GroupBoxLabel;
  const QRect title =
      group->style()
          ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group)
          .translated(group->pos());
  auto* mark = new QLabel(QStringLiteral("TLS"), form);
  mark->setObjectName(TlsMarkName(line));
  mark->setTextFormat(Qt::PlainText);
  QFont bold = mark->font();
  bold.setBold(true);
  mark->setFont(bold);
  mark->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  mark->setGeometry(column.left(), title.top(), column.width(), title.height());
  mark->setToolTip(QStringLiteral("Clients of this line connect over TLS"));
  mark->hide();
  return mark;
}

}  // namespace

QString TlsMarkName(int line) { return QStringLiteral("tls%1").arg(line); }

CCorvView::CCorvView(CCorvDoc* document, CMainFrame* frame)
    : document_(document),
      table_(document->Table()),
      lineCount_(table_.LineCount()),
      frame_(frame),
      units_(DialogFont()),
      tcpCombo_(lineCount_),
      serialCombo_(lineCount_),
      statusEdit_(lineCount_) {
  m_tcpPort.resize(lineCount_);
  m_serialPort.resize(lineCount_);
  m_status.resize(lineCount_);
  setObjectName(IdName(IDD_CORV_FORM));
  setFont(DialogFont());
  setFixedSize(units_.X(kFormWidth), units_.Y(FormHeight(table_.DataLines())));
  CreateControls();
  timer_.setInterval(200);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { OnTimer(); });
}

CCorvView::~CCorvView() = default;

void CCorvView::CreateControls() {
  const DialogUnits& u = units_;
  // Group boxes first, so that the controls drawn inside them lie on top;
  // each row's TLS mark comes right after its group box.
  for (int line = 0; line < lineCount_; ++line) {
    const FormLine row = FormRow(line);
    QGroupBox* group = MakeGroup(this, u, {5, row.top, 145, 30}, RowTitle(row, line));
    tlsMark_.push_back(MakeTlsMark(this, group, u.Rect(kStatusColumn), line));
  }
  MakeGroup(this, u, {155, 165, 50, 30}, QStringLiteral("Window size"));
  MakeStatic(this, u, {10, 5, 37, 8}, QStringLiteral("TCP/IP Port"));
  MakeStatic(this, u, {65, 5, 32, 8}, QStringLiteral("Serial Port"));
  MakeStatic(this, u, {120, 5, 25, 8}, QStringLiteral("Status"));

  for (int line = 0; line < lineCount_; ++line) {
    const FormLine row = FormRow(line);
    const int y = row.top + 10;
    tcpCombo_[line] = MakeCombo(this, u, row.tcpId, {10, y, 40, row.tcpListHeight},
                                TcpPortEntries(line), row.tcpId != kMixedCaseCombo);
    if (line > 0) {
      serialCombo_[line] = MakeCombo(
          this, u, row.serialId, {55, y, 55, row.serialListHeight},
          SerialPortEntries(line, table_.DataLines()), row.serialId != kMixedCaseCombo);
    }
    auto* status = new QLineEdit(this);
    status->setObjectName(IdName(row.statusId));
    status->setReadOnly(true);
    status->setAlignment(Qt::AlignCenter);
    status->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
    status->setGeometry(
        u.Rect({kStatusColumn.x, y, kStatusColumn.width, kStatusColumn.height}));
    statusEdit_[line] = status;
  }

  okButton_ = MakeButton(this, u, IDC_CORV_OK, {155, 20, 50, 20}, QStringLiteral("OK"));
  auto* cancel =
      MakeButton(this, u, IDC_CORV_CANCEL, {155, 50, 50, 20}, QStringLiteral("Cancel"));
  auto* save = MakeButton(this, u, IDC_SAVE_SETUP, {155, 80, 50, 20},
                          QStringLiteral("Save setup"));
  auto* errorLog = MakeButton(this, u, IDC_ERROR_LOG, {155, 110, 50, 20},
                              QStringLiteral("Error log..."));
  auto* commandLog = MakeButton(this, u, IDC_COMMAND_LOG, {155, 140, 50, 20},
                                QStringLiteral("Command log..."));
  minimizeBox_ = new QCheckBox(QStringLiteral("Minimize"), this);
  minimizeBox_->setObjectName(IdName(IDC_MINIMIZE));
  minimizeBox_->setGeometry(u.Rect({160, 180, 41, 10}));
  traffic_ = std::make_unique<TrafficFields>(this, u, lineCount_);

  // The rows past the eighth data line come after the eighth's serial port.
  std::vector<int> order;
  for (int id : kFormTabOrder) {
    order.push_back(id);
    if (id != kFormLines[kDefaultDataLines].serialId) continue;
    for (int line = kDefaultDataLines + 1; line < lineCount_; ++line) {
      order.push_back(FormRow(line).tcpId);
      order.push_back(FormRow(line).serialId);
    }
  }
  QWidget* previous = nullptr;
  for (int id : order) {
    QWidget* next = Control<QWidget>(this, id);
    if (previous != nullptr && next != nullptr) QWidget::setTabOrder(previous, next);
    previous = next;
  }

  QObject::connect(okButton_, &QPushButton::clicked, this, [this] { OnCorvOk(); });
  QObject::connect(cancel, &QPushButton::clicked, this, [this] { OnCorvCancel(); });
  QObject::connect(save, &QPushButton::clicked, this, [this] { OnSaveSetup(); });
  QObject::connect(errorLog, &QPushButton::clicked, this, [this] { OnErrorLog(); });
  QObject::connect(commandLog, &QPushButton::clicked, this, [this] { OnCommandLog(); });
}

void CCorvView::UpdateData(bool save) {
  if (save) {
    for (int line = 0; line < lineCount_; ++line) {
      m_tcpPort[line] = ComboText(tcpCombo_[line]).toStdString();
      if (line > 0) m_serialPort[line] = ComboText(serialCombo_[line]).toStdString();
      m_status[line] = statusEdit_[line]->text().toStdString();
    }
    m_minimize = minimizeBox_->isChecked() ? 1 : 0;
    return;
  }
  for (int line = 0; line < lineCount_; ++line) {
    LoadComboText(tcpCombo_[line], Q(m_tcpPort[line]));
    // Past com9 a port's name may begin another's ("com1", "com10").
    if (line > 0) LoadComboText(serialCombo_[line], Q(m_serialPort[line]), true);
    statusEdit_[line]->setText(Q(m_status[line]));
    tlsMark_[line]->setVisible(table_.net.SecureLine(line));
  }
  minimizeBox_->setChecked(m_minimize != 0);
}

void CCorvView::CopyFromLineTable(bool withStatus) {
  MutexLock lock(table_.engineLock);
  for (int line = 0; line < lineCount_; ++line)
    m_tcpPort[line] = table_.tcpPortText[line];
  for (int line = 1; line < lineCount_; ++line)
    m_serialPort[line] = table_.serialPortText[line];
  if (withStatus) {
    for (int line = 0; line < lineCount_; ++line)
      m_status[line] = table_.LineStatusText(line);
  }
}

void CCorvView::OnInitialUpdate() {
  UpdateData(false);
  // The frame shows as much of the form as an eight-line server's form.
  if (frame_ != nullptr) frame_->ResizeParentToFit(size(), units_.Y(kFormHeight));
  CopyFromLineTable(true);
  {
    MutexLock lock(table_.engineLock);
    m_minimize = table_.startMinimized;
  }
  okButton_->setFocus();
  UpdateData(false);
  ShowTraffic();
  timer_.start();
}

void CCorvView::Update() {
  CopyFromLineTable(true);
  UpdateData(false);
}

void CCorvView::OnTimer() {
  // Clearing the flag before the copy means a refresh asked for while the
  // copy runs is kept for the next tick instead of being lost.
  if (document_ != nullptr && table_.refreshNeeded.exchange(0) != 0) Update();
  ShowTraffic();
}

void CCorvView::ShowTraffic() {
  // The counters move all the time, so every tick reads them; but not while
  // a modal window is open (the window then takes engineLock only for that
  // window's own steps), nor while the frame is minimized and shows nothing.
  if (QApplication::activeModalWidget() != nullptr || window()->isMinimized()) return;
  ServerStats stats;
  {
    MutexLock lock(table_.engineLock);
    stats = CollectStats(table_);
  }
  traffic_->Show(stats);
}

bool CCorvView::RunOnRelay(const std::function<void()>& work) {
  if (document_ == nullptr || !document_->RelayThreadRunning()) {
    work();
    return true;
  }
  return document_->Requests().Run(work, table_.wakeEvent, kWindowRequestLimit) ==
         RelayRequests::Outcome::kDone;
}

void CCorvView::OnCorvOk() {
  UpdateData(true);
  // The relay thread applies the changes, between two passes, as it runs a
  // control command; this thread only waits for the answer.
  const bool applied = RunOnRelay([this] {
    MutexLock lock(table_.engineLock);
    if (m_tcpPort[0] != table_.tcpPortText[0] || table_.LineStatusText(0) == "NG") {
      ApplyLineTexts(table_, 0, m_tcpPort[0], std::string());
    }
    // The lines that copy a port after those that open one, as at start-up.
    for (int pass = 0; pass < 2; ++pass) {
      for (int line = 1; line < lineCount_; ++line) {
        if (m_serialPort[line].starts_with("receive") != (pass == 1)) continue;
        if (m_tcpPort[line] != table_.tcpPortText[line] ||
            m_serialPort[line] != table_.serialPortText[line] ||
            table_.LineStatusText(line) == "NG") {
          ApplyLineTexts(table_, line, m_tcpPort[line], m_serialPort[line]);
        }
      }
    }
    table_.startMinimized = m_minimize;
    for (int line = 0; line < lineCount_; ++line)
      m_status[line] = table_.LineStatusText(line);
  });
  if (!applied) CopyFromLineTable(true);  // the relay is stuck: show what is
  UpdateData(false);
}

void CCorvView::OnCorvCancel() {
  CopyFromLineTable(false);
  UpdateData(false);
}

}  // namespace qmx::ui
