// The parameter parsers of open and receive, without a server: they return
// what was asked and change nothing.
#include <gtest/gtest.h>

#include "protocol/commands.h"

namespace qmx {
namespace {

PortSettings Configured() {
  PortSettings s;
  s.name = "com3";
  s.baud = "4800";
  s.parity = "o";
  s.dataBits = "7";
  s.stopBits = "2";
  s.definition = "4800,o,7,2";
  s.flow = "x";
  return s;
}

TEST(OpenParams, FieldsAsGivenAndDefinitionOnlyWithAllFour) {
  EXPECT_FALSE(ParseOpenParams(""));
  EXPECT_FALSE(ParseOpenParams(" ,\t"));
  EXPECT_FALSE(ParseOpenParams(std::string(201, 'c')));  // over-long: no parameter

  auto name = ParseOpenParams("com3");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->name, "com3");
  EXPECT_FALSE(name->baud);
  PortSettings merged = MergeOpenRequest(Configured(), *name);
  EXPECT_EQ(merged.definition, "4800,o,7,2");
  EXPECT_EQ(merged.flow, "x");

  // A partial request stores the texts it gives but keeps the definition.
  auto partial = ParseOpenParams("com3,2400 e");
  ASSERT_TRUE(partial);
  merged = MergeOpenRequest(Configured(), *partial);
  EXPECT_EQ(merged.baud, "2400");
  EXPECT_EQ(merged.parity, "e");
  EXPECT_EQ(merged.definition, "4800,o,7,2");
  EXPECT_EQ(merged.flow, "x");

  auto full = ParseOpenParams("com3,19200,e,8,1,h,extra");
  ASSERT_TRUE(full);
  merged = MergeOpenRequest(Configured(), *full);
  EXPECT_EQ(merged.definition, "19200,e,8,1");
  EXPECT_EQ(merged.flow, "h");
  EXPECT_EQ(merged.stopBits, "1");

  // Four settings without a flow keep the configured flow.
  merged = MergeOpenRequest(Configured(), *ParseOpenParams("com3,9600,n,8,1"));
  EXPECT_EQ(merged.definition, "9600,n,8,1");
  EXPECT_EQ(merged.flow, "x");
}

TEST(ReceiveParams, FirstFieldOnlyAndLengthLimit) {
  EXPECT_EQ(ParseReceiveParams("com1 and more"), "com1");
  EXPECT_EQ(ParseReceiveParams(",\tcom2"), "com2");
  EXPECT_FALSE(ParseReceiveParams(""));
  EXPECT_FALSE(ParseReceiveParams(std::string(201, 'c')));
}

}  // namespace
}  // namespace qmx
