// The form marks the lines whose clients connect over TLS, in free space on
// their rows, and leaves the plain lines unmarked.
#include <QGroupBox>
#include <QLabel>
#include <string>

#include "net/socket_layer.h"
#include "tls/tls_credentials.h"
#include "tls/tls_test_certificates.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiFormTls : public UiTest {};

TEST_F(UiFormTls, MarksTheTlsLinesAndNoOthers) {
  TlsCredentials tls(tls_test::Certificate("server.crt"),
                     tls_test::Certificate("server.key"), "");
  std::string failure;
  ASSERT_TRUE(tls.Load(&failure)) << failure;
  Table().net.SetConnectionMaker(1u | 1u << 2, tls.Maker());  // --tls control,2
  PtyDevice com1("com1");
  PtyDevice com2("com2");
  SetupFile file;
  file.Use(0);
  file.Use(1, "com1");
  file.Use(2, "com2");
  Start(&file);

  QWidget* form = Find(IDD_CORV_FORM);
  for (int line = 0; line < 9; ++line) {
    SCOPED_TRACE(line);
    auto* mark = form->findChild<QLabel*>(TlsMarkName(line));
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->isVisible(), line == 0 || line == 2);
    // It covers no control; it lies only on its row's group box.
    for (QWidget* other : form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      EXPECT_TRUE(other == mark || qobject_cast<QGroupBox*>(other) != nullptr ||
                  !mark->geometry().intersects(other->geometry()))
          << other->objectName().toStdString();
    }
  }
}

}  // namespace
}  // namespace qmx::ui::test
