#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/fixed_text.h"
#include "platform/tokenizer.h"

namespace qmx {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> AllFields(std::string_view text, std::string_view delimiters) {
  Tokenizer t(text, delimiters);
  std::vector<std::string> out;
  while (auto f = t.Next()) out.emplace_back(*f);
  return out;
}

TEST(Tokenizer, FollowsStrtokRules) {
  // Leading and repeated delimiters are skipped; no empty fields.
  EXPECT_EQ(AllFields(",, com1,,9600 ,n\n", " ,\t\n"),
            (std::vector<std::string>{"com1", "9600", "n"}));
  EXPECT_TRUE(AllFields("", " ,").empty());
  EXPECT_TRUE(AllFields(" , \n", " ,\n").empty());
  // Tab and LF are not delimiters of the command line: they stay in the word.
  EXPECT_EQ(AllFields("open\tcom1\r\n", " \r"), (std::vector<std::string>{"open\tcom1", "\n"}));
}

TEST(Tokenizer, RestStartsAfterTheDelimiterThatEndedTheField) {
  Tokenizer t("8001\tremark, text\n", " ,\t\n");
  EXPECT_EQ(*t.Next(), "8001");
  EXPECT_EQ(t.LastDelimiter(), '\t');
  EXPECT_EQ(t.Rest(), "remark, text\n");
  Tokenizer end("8001", " ");
  end.Next();
  EXPECT_EQ(end.Rest(), "");
}

TEST(FixedText, CopyCutsAtTheFieldWidth) {
  char flow[8];
  CopyField(flow, "hardware-flow");
  EXPECT_EQ(FieldText(flow), "hardwar");
  CopyField(flow, "x");
  EXPECT_EQ(FieldText(flow), "x");
  CopyField(flow, "");
  EXPECT_EQ(FieldText(flow), "");
}

TEST(Event, AutoResetSignalTimeoutAndClose) {
  Event e;
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kFailed);  // never opened
  e.Open();
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kTimeout);
  e.Set();
  e.Set();  // two signals before a wait count as one
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kSignaled);
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kTimeout);

  // Close wakes a thread that is waiting, and fails every later wait.
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = static_cast<int>(e.Wait(10s)); });
  while (!e.IsOpen()) {
  }
  std::this_thread::sleep_for(20ms);  // let the waiter block; the result holds either way
  e.Close();
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(Event::WaitResult::kFailed));
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kFailed);
}

TEST(Event, SignalFromAnotherThreadWakesTheWaiter) {
  Event e;
  e.Open();
  std::thread setter([&] { e.Set(); });
  EXPECT_EQ(e.Wait(10s), Event::WaitResult::kSignaled);
  setter.join();
}

}  // namespace
}  // namespace qmx
