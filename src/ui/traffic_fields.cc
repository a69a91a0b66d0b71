#include "ui/traffic_fields.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <chrono>
#include <cstddef>
#include <string>

#include "ui/form_controls.h"
#include "ui/resources.h"

namespace qmx::ui {
namespace {

// The columns, in dialog units: right of the buttons (which end at 205),
// each field on its line's row, level with the status box.
constexpr int kToDeviceX = 215;
constexpr int kToClientX = 260;
constexpr int kClientX = 305;
constexpr int kCountWidth = 40;
constexpr int kClientWidth = 75;
constexpr int kFieldHeight = 14;

QLineEdit* MakeField(QWidget* form, const DialogUnits& units, int id, const DluRect& rect,
                     Qt::Alignment alignment) {
  auto* field = new QLineEdit(form);
  field->setObjectName(IdName(id));
  field->setReadOnly(true);
  field->setAlignment(alignment);
  field->setFocusPolicy(Qt::ClickFocus);  // not a tab stop, as the status box
  field->setGeometry(units.Rect(rect));
  return field;
}

void Heading(QWidget* form, const DialogUnits& units, int x, int width,
             const QString& text) {
  QLabel* label = MakeStatic(form, units, {x, 5, width, 8}, text);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
}

void SetText(QLineEdit* field, const QString& text) {
  if (field->text() == text) return;
  field->setText(text);
  field->setCursorPosition(0);  // a long address shows its beginning
}

void SetTip(QLineEdit* field, const QString& tip) {
  if (field->toolTip() != tip) field->setToolTip(tip);
}

QString ClientTip(const ClientStats& client) {
  const QDateTime since = QDateTime::fromSecsSinceEpoch(
      std::chrono::duration_cast<std::chrono::seconds>(client.since.time_since_epoch())
          .count());
  return QStringLiteral("%1, connected %2\n%3 from it, %4 to it")
      .arg(QString::fromStdString(client.address),
           since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
           ByteCountTip(client.bytesToDevice), ByteCountTip(client.bytesToClient));
}

}  // namespace

QString ByteCountText(uint64_t bytes) {
  if (bytes < 1000) return QStringLiteral("%1 B").arg(bytes);
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes);
  for (const char* unit : kUnits) {
    value /= 1000.0;
    // One decimal below 10, whole numbers above; a value that would round
    // to 10.0 or to 1000 is shown the shorter way or in the next unit.
    if (value < 9.95) {
      return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(unit));
    }
    if (value < 999.5) {
      return QStringLiteral("%1 %2").arg(value, 0, 'f', 0).arg(QLatin1String(unit));
    }
  }
  return QStringLiteral("%1 B").arg(bytes);  // not reached: 2^64 bytes are 18 EB
}

QString ByteCountTip(uint64_t bytes) {
  std::string digits = std::to_string(bytes);
  for (auto at = static_cast<ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<size_t>(at), 1, ',');
  return QString::fromStdString(digits) +
         (bytes == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
}

TrafficFields::TrafficFields(QWidget* form, const DialogUnits& units, int lineCount)
    : rows_(lineCount) {
  Heading(form, units, kToDeviceX, kCountWidth, QStringLiteral("To device"));
  Heading(form, units, kToClientX, kCountWidth, QStringLiteral("To client"));
  Heading(form, units, kClientX, kClientWidth, QStringLiteral("Client"));
  const Qt::Alignment number = Qt::AlignRight | Qt::AlignVCenter;
  for (int line = 0; line < lineCount; ++line) {
    const FormLine entry = FormRow(line);
    const int y = entry.top + 10;
    Row& row = rows_[line];
    row.toDevice = MakeField(form, units, entry.toDeviceId,
                             {kToDeviceX, y, kCountWidth, kFieldHeight}, number);
    row.toClient = MakeField(form, units, entry.toClientId,
                             {kToClientX, y, kCountWidth, kFieldHeight}, number);
    row.client =
        MakeField(form, units, entry.clientId, {kClientX, y, kClientWidth, kFieldHeight},
                  Qt::AlignLeft | Qt::AlignVCenter);
  }
}

void TrafficFields::Show(const ServerStats& stats) {
  for (const LineStats& line : stats.lines) {
    if (line.line < 0 || line.line >= static_cast<int>(rows_.size())) continue;
    const Row& row = rows_[line.line];
    SetText(row.toDevice, ByteCountText(line.bytesToDevice));
    SetTip(row.toDevice, ByteCountTip(line.bytesToDevice));
    SetText(row.toClient, ByteCountText(line.bytesToClient));
    SetTip(row.toClient, ByteCountTip(line.bytesToClient));
    // A line has one client at a time; the tooltip names every one there is.
    QStringList tips;
    for (const ClientStats& client : line.clients) tips << ClientTip(client);
    SetText(row.client, line.clients.empty()
                            ? QString()
                            : QString::fromStdString(line.clients.front().address));
    SetTip(row.client, tips.join(QLatin1Char('\n')));
  }
}

}  // namespace qmx::ui
