#include <gtest/gtest.h>

#include "engine/line_table.h"
#include "relay/corv_doc.h"

namespace qmx {
namespace {

TEST(LogRing, WrapFlagAndListingOrder) {
  CCorvDoc doc;
  for (int i = 0; i < 998; ++i) doc.AppendCommandLog("e" + std::to_string(i));
  EXPECT_EQ(doc.CommandLogWrapped(), 0);
  doc.AppendCommandLog("e998");
  EXPECT_EQ(doc.CommandLogIndex(), 999);
  EXPECT_EQ(doc.CommandLogWrapped(), 1);
  auto listing = doc.CommandLogListing();
  ASSERT_EQ(listing.size(), 999u);  // the never-written slot 999 adds nothing
  EXPECT_EQ(listing.front(), "e0");
  EXPECT_EQ(listing.back(), "e998");

  doc.AppendCommandLog("e999");
  EXPECT_EQ(doc.CommandLogIndex(), 0);
  for (int i = 1000; i < 1005; ++i) doc.AppendCommandLog("e" + std::to_string(i));
  listing = doc.CommandLogListing();
  ASSERT_EQ(listing.size(), 1000u);
  EXPECT_EQ(listing.front(), "e5");  // the first five are gone
  EXPECT_EQ(listing.back(), "e1004");
}

TEST(LogRing, ErrorLogMessagesAndListener) {
  ResetLineTable();
  SizeErrorLog();
  std::vector<std::string> heard;
  SetErrorLogListener([&](const std::string& e) { heard.push_back(e); });
  AppendErrorLog(FormatMessage1(kMsgPortFailure, "com1"));
  AppendErrorLog(FormatMessage1(kMsgCannotOpen, "qmx.txt"));
  SetErrorLogListener(nullptr);
  auto listing = ErrorLogListing();
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing[0], "com1 open failure");
  EXPECT_EQ(listing[1], "QMX\u3000Cann't open qmx.txt");
  EXPECT_EQ(heard, listing);
  ResetLineTable();
}

}  // namespace
}  // namespace qmx
