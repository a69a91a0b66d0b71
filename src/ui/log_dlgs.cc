#include "ui/log_dlgs.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>

#include "ui/dialog_units.h"
#include "ui/form_controls.h"
#include "ui/resources.h"

namespace qmx::ui {

CLogDlg::CLogDlg(QWidget* owner, const Layout& layout)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      scrollToEnd_(layout.scrollToEnd) {
  const DialogUnits units(DialogFont());
  setObjectName(IdName(layout.templateId));
  setWindowTitle(QString::fromLatin1(layout.caption));
  setFont(DialogFont());
  setFixedSize(units.X(layout.width), units.Y(layout.height));

  ok_ = MakeButton(this, units, IDOK, {layout.okX, layout.okY, 50, 14},
                   QStringLiteral("OK"));
  ok_->setDefault(true);

  edit_ = new QPlainTextEdit(this);
  edit_->setObjectName(IdName(layout.editId));
  edit_->setReadOnly(true);
  edit_->setTextInteractionFlags(Qt::TextSelectableByKeyboard |
                                 Qt::TextSelectableByMouse);
  edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
  edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // A long line is reached by moving the caret sideways, not by a scroll bar.
  edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edit_->setTabChangesFocus(true);
  edit_->setGeometry(units.Rect({5, 5, layout.editWidth, layout.editHeight}));

  QWidget::setTabOrder(ok_, edit_);
  QObject::connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

int CLogDlg::DoModal() {
  // The box shows lines; the log's CR LF line ends become plain line breaks.
  QString text = QString::fromStdString(m_log);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.remove(QLatin1Char('\r'));
  edit_->setPlainText(text);
  ok_->setFocus();
  return exec();
}

void CLogDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  edit_->moveCursor(scrollToEnd_ ? QTextCursor::End : QTextCursor::Start);
  QScrollBar* bar = edit_->verticalScrollBar();
  bar->setValue(scrollToEnd_ ? bar->maximum() : bar->minimum());
}

CCmdLogDlg::CCmdLogDlg(QWidget* owner)
    : CLogDlg(owner, {IDD_CMDLOG, "Command log", 199, 149, IDC_CMDLOG_EDIT, 187, 115, 135,
                      130, true}) {}

CErrLogDlg::CErrLogDlg(QWidget* owner)
    : CLogDlg(owner, {IDD_ERRLOG, "Error log", 203, 195, IDC_ERRLOG_EDIT, 192, 165, 150,
                      175, false}) {}

}  // namespace qmx::ui
