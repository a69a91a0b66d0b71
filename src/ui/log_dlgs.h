// CCmdLogDlg and CErrLogDlg: the two log windows. Each shows the text that
// its opener put into m_log, oldest entry first, in a read-only box that does
// not wrap lines, and closes with OK or Escape. The text is a snapshot: it is
// built before the window opens and does not change while it is open.
//
// The command log window opens scrolled to its end (the latest entries); the
// error log window opens at its beginning. Both open with the focus on OK.
#pragma once

#include <QDialog>
#include <string>

class QPlainTextEdit;
class QPushButton;
class QShowEvent;

namespace qmx::ui {

class CLogDlg : public QDialog {
 public:
  int DoModal();
  std::string m_log;  // lines end in CR LF, as the logs hold them

 protected:
  struct Layout {
    int templateId;
    const char* caption;
    int width, height;  // dialog units
    int editId, editWidth, editHeight;
    int okX, okY;
    bool scrollToEnd;
  };
  CLogDlg(QWidget* owner, const Layout& layout);
  void showEvent(QShowEvent* event) override;

 private:
  bool scrollToEnd_;
  QPlainTextEdit* edit_ = nullptr;
  QPushButton* ok_ = nullptr;
};

class CCmdLogDlg : public CLogDlg {
 public:
  explicit CCmdLogDlg(QWidget* owner);
};

class CErrLogDlg : public CLogDlg {
 public:
  explicit CErrLogDlg(QWidget* owner);
};

}  // namespace qmx::ui
