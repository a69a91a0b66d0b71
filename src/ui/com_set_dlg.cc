#include "ui/com_set_dlg.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "ui/form_controls.h"
#include "ui/resources.h"

namespace qmx::ui {
namespace {

// The flow list is sorted, as the operator sees it, without regard to case.
QStringList SortedFlowWords() {
  QStringList words{QStringLiteral("Xon/Xoff"), QStringLiteral("hardware"),
                    QStringLiteral("none")};
  std::sort(words.begin(), words.end(), [](const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
  });
  return words;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

CComSetDlg::CComSetDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      units_(DialogFont()) {
  setObjectName(IdName(IDD_COMSET));
  setWindowTitle(QStringLiteral("Serial Port setup"));
  setFont(DialogFont());
  setFixedSize(units_.X(174), units_.Y(175));

  const DialogUnits& u = units_;
  MakeStatic(this, u, {10, 17, 40, 8}, QStringLiteral("Port:"));
  MakeStatic(this, u, {10, 42, 40, 8}, QStringLiteral("Baud rate:"));
  MakeStatic(this, u, {10, 67, 40, 8}, QStringLiteral("Data:"));
  MakeStatic(this, u, {10, 92, 40, 8}, QStringLiteral("Parity:"));
  MakeStatic(this, u, {10, 117, 40, 8}, QStringLiteral("Stop bits:"));
  MakeStatic(this, u, {10, 142, 40, 8}, QStringLiteral("Flow control:"));

  port_ = new QLineEdit(this);
  port_->setObjectName(IdName(IDC_PORT));
  port_->setReadOnly(true);
  port_->setGeometry(u.Rect({50, 15, 55, 14}));

  baud_ = MakeCombo(this, u, IDC_BAUD, {50, 40, 55, 90},
                    {"110", "300", "600", "1200", "2400", "4800", "9600", "14400",
                     "19200", "38400", "57600", "115200"},
                    false);
  data_ = MakeCombo(this, u, IDC_DATA, {50, 65, 55, 35}, {"7", "8"}, false);
  parity_ =
      MakeCombo(this, u, IDC_PARITY, {50, 90, 55, 45}, {"none", "even", "odd"}, false);
  stop_ = MakeCombo(this, u, IDC_STOP, {50, 115, 55, 45}, {"1", "2"}, false);
  flow_ = MakeCombo(this, u, IDC_FLOW, {50, 140, 55, 45}, SortedFlowWords(), false);

  auto* ok = MakeButton(this, u, IDC_COMSET_OK, {115, 15, 50, 14}, QStringLiteral("OK"));
  auto* cancel =
      MakeButton(this, u, IDC_COMSET_CANCEL, {115, 40, 50, 14}, QStringLiteral("Cancel"));

  QWidget* order[] = {baud_, data_, parity_, stop_, flow_, ok, cancel, port_};
  for (size_t i = 1; i < std::size(order); ++i)
    QWidget::setTabOrder(order[i - 1], order[i]);

  QObject::connect(ok, &QPushButton::clicked, this, [this] { OnClickedOk(); });
  QObject::connect(cancel, &QPushButton::clicked, this, [this] { OnClickedCancel(); });
}

CComSetDlg::~CComSetDlg() = default;

int CComSetDlg::DoModal() {
  UpdateData(false);
  baud_->setFocus();
  return exec();
}

void CComSetDlg::UpdateData(bool save) {
  if (save) {
    m_baud = ComboText(baud_).toStdString();
    m_data = ComboText(data_).toStdString();
    m_parity = ComboText(parity_).toStdString();
    m_stop = ComboText(stop_).toStdString();
    m_port = port_->text().toStdString();
    m_flow = ComboText(flow_).toStdString();
    return;
  }
  LoadComboText(baud_, Q(m_baud));
  LoadComboText(data_, Q(m_data));
  LoadComboText(parity_, Q(m_parity));
  LoadComboText(stop_, Q(m_stop));
  port_->setText(Q(m_port));
  LoadComboText(flow_, Q(m_flow));
}

void CComSetDlg::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (!enter) {
    QDialog::keyPressEvent(event);
    return;
  }
  // Enter works the button that has the focus and nothing else: in a combo
  // box or the port field it neither takes the values nor closes the dialog.
  if (auto* button = qobject_cast<QPushButton*>(focusWidget())) button->click();
  event->accept();
}

void CComSetDlg::OnClickedOk() {
  UpdateData(true);
  accept();
}

void CComSetDlg::OnClickedCancel() { reject(); }

}  // namespace qmx::ui
