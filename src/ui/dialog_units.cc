#include "ui/dialog_units.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <algorithm>
#include <cmath>

namespace qmx::ui {
namespace {

int Round(double value) { return static_cast<int>(std::lround(value)); }

}  // namespace

QFont DialogFont() {
  const QString family = QString::fromUtf8(kDialogFontFamily);
  if (QFontDatabase::families().contains(family)) {
    return QFont(family, kDialogFontPoints);
  }
  QFont font = QApplication::font();
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(kDialogFontPoints);
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  QFontMetrics metrics(font);
  // The average width is taken over the 52 letters, as dialog base units
  // are, but kept exact: rounding it to whole pixels would make a wide
  // desktop font's texts overflow their controls.
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = std::max(1.0, letters / 52.0);
  baseY_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const { return Round(units * baseX_ / 4.0); }

int DialogUnits::Y(int units) const { return Round(units * baseY_ / 8.0); }

QRect DialogUnits::Rect(const DluRect& r) const {
  const int left = X(r.x);
  const int top = Y(r.y);
  return QRect(left, top, X(r.x + r.width) - left, Y(r.y + r.height) - top);
}

}  // namespace qmx::ui
