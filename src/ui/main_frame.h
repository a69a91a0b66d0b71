// CMainFrame: the main window. A menu bar ("File", "Serial setup" with an
// entry for each port of the server, "Help"), the form view CCorvView in a
// scroll area as its client, no toolbar and no status bar. The frame is
// fitted to the form when the view is first shown.
//
// CAboutDlg is the about box; CHelpDlg the built-in help that "Find Help
// Topic" opens. MainIcon is the application's icon.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMainWindow>

class QAction;
class QScrollArea;

namespace qmx {
class CCorvDoc;
}

namespace qmx::ui {

class CCorvView;

QIcon MainIcon();

class CMainFrame : public QMainWindow {
 public:
  explicit CMainFrame(CCorvDoc* document);
  ~CMainFrame() override;

  CCorvView* View() const { return view_; }

  // Shrinks the frame so that its client shows exactly the form, or of a
  // form taller than `shownHeight` that much and a vertical scroll bar; a
  // frame that is already smaller keeps its size and the form scrolls.
  void ResizeParentToFit(QSize formSize, int shownHeight);

  // Commands bound by the application object.
  QAction* aboutAction() const { return about_; }
  QAction* helpAction() const { return help_; }
  QAction* newAction() const { return new_; }

 private:
  CCorvView* view_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QAction* about_ = nullptr;
  QAction* help_ = nullptr;
  QAction* new_ = nullptr;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* owner);
};

class CHelpDlg : public QDialog {
 public:
  explicit CHelpDlg(QWidget* owner);
};

}  // namespace qmx::ui
