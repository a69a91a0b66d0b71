// Dialog units and the dialogs' font.
//
// Every window of the operator interface is laid out in dialog units: one
// unit across is a quarter of the dialog font's average character width, one
// unit down an eighth of its character height. Converting with the metrics of
// the font actually used keeps the layout in proportion whatever font the
// desktop provides.
#pragma once

#include <QFont>
#include <QRect>

#include "ui/resources.h"

namespace qmx::ui {

// The 9-point dialog font where it is installed, else the desktop's default
// sans-serif at 9 points.
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  // Average character width and character height in pixels.
  double baseX() const { return baseX_; }
  int baseY() const { return baseY_; }

  int X(int units) const;
  int Y(int units) const;
  QRect Rect(const DluRect& r) const;

 private:
  double baseX_;
  int baseY_;
};

}  // namespace qmx::ui
