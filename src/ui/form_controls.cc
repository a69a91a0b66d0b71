#include "ui/form_controls.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

namespace qmx::ui {

QString IdName(int id) { return QString::number(id); }

QValidator::State LowerCaseValidator::validate(QString& input, int& /*pos*/) const {
  input = input.toLower();
  return Acceptable;
}

QComboBox* MakeCombo(QWidget* parent, const DialogUnits& units, int id,
                     const DluRect& rect, const QStringList& items, bool lowerCase) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(IdName(id));
  combo->setEditable(true);
  // Typing neither adds entries to the list nor completes from it.
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setCompleter(nullptr);
  combo->addItems(items);
  if (lowerCase) combo->setValidator(new LowerCaseValidator(combo));
  combo->setFocusPolicy(Qt::StrongFocus);

  const QRect area = units.Rect(rect);
  const int fieldHeight = combo->sizeHint().height();
  combo->setGeometry(area.x(), area.y(), area.width(), fieldHeight);
  const int itemHeight = combo->fontMetrics().height() + 4;
  combo->setMaxVisibleItems(std::max(1, (area.height() - fieldHeight) / itemHeight));
  return combo;
}

QPushButton* MakeButton(QWidget* parent, const DialogUnits& units, int id,
                        const DluRect& rect, const QString& text) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(IdName(id));
  button->setAutoDefault(false);
  QRect area = units.Rect(rect);
  const int needed = button->sizeHint().width();
  if (needed > area.width())
    area.adjust(-(needed - area.width()) / 2, 0, (needed - area.width() + 1) / 2, 0);
  button->setGeometry(area);
  return button;
}

QLabel* MakeStatic(QWidget* parent, const DialogUnits& units, const DluRect& rect,
                   const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  QRect area = units.Rect(rect);
  area.setWidth(std::max(area.width(), label->sizeHint().width()));
  label->setGeometry(area);
  return label;
}

QGroupBox* MakeGroup(QWidget* parent, const DialogUnits& units, const DluRect& rect,
                     const QString& title) {
  auto* group = new QGroupBox(title, parent);
  group->setGeometry(units.Rect(rect));
  group->setFocusPolicy(Qt::NoFocus);
  return group;
}

void LoadComboText(QComboBox* combo, const QString& text, bool wholeNumbers) {
  if (!text.isEmpty()) {
    for (int i = 0; i < combo->count(); ++i) {
      const QString item = combo->itemText(i);
      const bool splitsNumber = wholeNumbers && item.size() > text.size() &&
                                text.back().isDigit() && item.at(text.size()).isDigit();
      if (item.startsWith(text, Qt::CaseInsensitive) && !splitsNumber) {
        combo->setCurrentIndex(i);
        combo->setEditText(item);
        return;
      }
    }
  }
  combo->setCurrentIndex(-1);
  combo->setEditText(text);
}

QString ComboText(const QComboBox* combo) { return combo->currentText(); }

}  // namespace qmx::ui
