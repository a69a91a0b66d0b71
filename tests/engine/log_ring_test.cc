#include <gtest/gtest.h>
#include <malloc.h>

#include <string>

#include "engine/line_table.h"
#include "relay/corv_doc.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

TEST(LogRing, WrapFlagAndListingOrder) {
  CCorvDoc doc(Table());
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

// A full ring that goes on taking entries must hold about what its entries
// need, not the longest entry each slot ever held: a server logs commands and
// replies for weeks, and a few long status replies must not leave every slot
// that large.
TEST(LogRing, ShortEntriesAfterLongOnesGiveTheMemoryBack) {
  if (mallinfo2().uordblks == 0) GTEST_SKIP() << "allocator keeps no figures";
  LogRing ring;
  ring.Size();
  const std::string longEntry(2000, 'x');
  for (int i = 0; i < kLogSize; ++i) ring.Append(longEntry);
  const size_t withLong = mallinfo2().uordblks;
  for (int i = 0; i < kLogSize; ++i) ring.Append("status");
  const size_t withShort = mallinfo2().uordblks;
  // 1000 slots of 2000 bytes are about 2 MB; short entries fit in the slot.
  EXPECT_LT(withShort + 1'500'000, withLong) << withLong << " -> " << withShort;
  EXPECT_EQ(ring.Listing().back(), "status");
}

TEST(LogRing, ErrorLogMessagesAndListener) {
  Table().ResetLineTable();
  Table().SizeErrorLog();
  std::vector<std::string> heard;
  Table().SetErrorLogListener([&](const std::string& e) { heard.push_back(e); });
  Table().AppendErrorLog(FormatMessage1(kMsgPortFailure, "com1"));
  Table().AppendErrorLog(FormatMessage1(kMsgCannotOpen, "qmx.txt"));
  Table().SetErrorLogListener(nullptr);
  auto listing = Table().ErrorLogListing();
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing[0], "com1 open failure");
  EXPECT_EQ(listing[1], "QMX\u3000Cann't open qmx.txt");
  EXPECT_EQ(heard, listing);
  Table().ResetLineTable();
}

}  // namespace
}  // namespace qmx
