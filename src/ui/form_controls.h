// Building blocks shared by the form view and the dialogs: controls placed
// in dialog units and named by id, the data exchange of a combo box, and the
// typing rules of the combo boxes' edit fields.
#pragma once

#include <QString>
#include <QStringList>
#include <QValidator>
#include <QWidget>

#include "ui/dialog_units.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qmx::ui {

// Turns letters typed into an edit field into lower case. Texts put in by
// the program are not touched.
class LowerCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// An editable drop-down combo box at `rect`. Its height is the natural height
// of its edit field; the rest of the template's height is the drop-down list.
// Typed text is not limited to what the field shows: with the wider fonts of
// a Linux desktop the field shows less than its list entries need.
QComboBox* MakeCombo(QWidget* parent, const DialogUnits& units, int id,
                     const DluRect& rect, const QStringList& items, bool lowerCase);
// A push button at `rect`, widened about its centre where its text would not
// fit (wide desktop fonts); never the dialog's default button by itself.
QPushButton* MakeButton(QWidget* parent, const DialogUnits& units, int id,
                        const DluRect& rect, const QString& text);
// Static text at `rect`, at least as wide as the text.
QLabel* MakeStatic(QWidget* parent, const DialogUnits& units, const DluRect& rect,
                   const QString& text);
QGroupBox* MakeGroup(QWidget* parent, const DialogUnits& units, const DluRect& rect,
                     const QString& title);

// Loads a combo box from its field: selects the first list entry that begins
// with `text`, ignoring case; when none does (or the text is empty) nothing is
// selected and the text itself stands in the edit field. With `wholeNumbers`
// an entry that goes on with a digit after a text ending in one is no match,
// so that "com1" never stands for "com10".
void LoadComboText(QComboBox* combo, const QString& text, bool wholeNumbers = false);
// Reads a combo box into its field: the text its edit field shows.
QString ComboText(const QComboBox* combo);

QString IdName(int id);

// The control of `root` with id `id`, or null.
template <class T>
T* Control(const QWidget* root, int id) {
  return root->findChild<T*>(IdName(id));
}

}  // namespace qmx::ui
