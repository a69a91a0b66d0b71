// The status bar names the listen addresses and RFC 2217 lines when the
// options chose them.
#include <QLabel>
#include <QStatusBar>

#include "options/server_options.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiNetworkSummary : public UiTest {};

TEST_F(UiNetworkSummary, StatusBarShowsChosenListenAddresses) {
  ServerOptions options;
  ASSERT_TRUE(ParseServerOptions("qmx", {"--listen", "127.0.0.1", "--rfc2217", "2"}, true,
                                 &options)
                  .run);
  SetupFile file;
  file.Use(0);
  Start(&file, NetworkSummary(options));
  ASSERT_NE(frame()->findChild<QStatusBar*>(), nullptr);
  auto* summary = frame()->findChild<QLabel*>("networkSummary");
  ASSERT_NE(summary, nullptr);
  EXPECT_EQ(summary->text(), "Listening on 127.0.0.1; RFC 2217 on data lines 2");
  EXPECT_TRUE(summary->isVisible());
}

}  // namespace
}  // namespace qmx::ui::test
