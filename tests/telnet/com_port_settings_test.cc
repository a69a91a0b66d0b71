#include "telnet/com_port_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "serial/line_settings.h"
#include "telnet/telnet_codes.h"

namespace qmx::telnet {
namespace {

TEST(ComPortSettings, DefinitionTextsAndCodesMapBothWays) {
  // Every code combination writes a text that reads back to the same codes.
  for (uint8_t data = 5; data <= 8; ++data) {
    for (uint8_t parity = kParityNone; parity <= kParitySpace; ++parity) {
      for (uint8_t stop = kStopOne; stop <= kStopOneAndHalf; ++stop) {
        const ComPortSettings s{115200, data, parity, stop};
        const std::optional<std::string> text = DefinitionFromSettings(s);
        ASSERT_TRUE(text.has_value());
        const std::optional<ComPortSettings> back = SettingsFromDefinition(*text);
        ASSERT_TRUE(back.has_value()) << *text;
        EXPECT_EQ(back->baudRate, 115200u);
        EXPECT_EQ(back->dataSize, data);
        EXPECT_EQ(back->parity, parity);
        EXPECT_EQ(back->stopSize, stop);
      }
    }
  }
  EXPECT_EQ(DefinitionFromSettings({9600, 8, kParityNone, kStopOne}), "9600,n,8,1");
  EXPECT_EQ(DefinitionFromSettings({250000, 7, kParityMark, kStopOneAndHalf}),
            "250000,m,7,1.5");
  // Codes that have no text.
  EXPECT_FALSE(DefinitionFromSettings({0, 8, kParityNone, kStopOne}));
  EXPECT_FALSE(DefinitionFromSettings({2147483648u, 8, kParityNone, kStopOne}));
  EXPECT_FALSE(DefinitionFromSettings({9600, 9, kParityNone, kStopOne}));
  EXPECT_FALSE(DefinitionFromSettings({9600, 8, 0, kStopOne}));
  EXPECT_FALSE(DefinitionFromSettings({9600, 8, kParityNone, 4}));
}

TEST(ComPortSettings, ReadsDefinitionsExactlyAsTheServerDoes) {
  const char* texts[] = {
      "9600,n,8,1",  " 19200 , E ,7, 2 ", "300,s,5,1.5",      "9600,n,8",   "9600,n,8,1,",
      "0,n,8,1",     "-5,n,8,1",          "9600,x,8,1",       "9600,n,9,1", "9600,n,8,3",
      "9600,nn,8,1", "2147483647,o,6,2",  "2147483648,o,6,2", "",           "9600,,8,1",
      "96 00,n,8,1"};
  for (const char* text : texts) {
    const std::optional<LineSettings> server = ParseDefinition(text);
    const std::optional<ComPortSettings> ours = SettingsFromDefinition(text);
    ASSERT_EQ(server.has_value(), ours.has_value()) << text;
    if (!ours) continue;
    EXPECT_EQ(ours->baudRate, static_cast<uint32_t>(server->baud)) << text;
    EXPECT_EQ(ours->dataSize, server->dataBits) << text;
    EXPECT_EQ(ParseDefinition(*DefinitionFromSettings(*ours))->parity, server->parity)
        << text;
    EXPECT_EQ(ParseDefinition(*DefinitionFromSettings(*ours))->stopBits, server->stopBits)
        << text;
  }
}

TEST(ComPortSettings, FlowLettersAndControlValues) {
  EXPECT_EQ(FlowControlCode("h", false), kControlFlowHardware);
  EXPECT_EQ(FlowControlCode("x", true), kControlInboundFlowXonXoff);
  EXPECT_EQ(FlowControlCode("n", false), kControlFlowNone);
  EXPECT_EQ(FlowControlCode("", true), kControlInboundFlowNone);
  EXPECT_EQ(FlowControlCode("Xon/Xoff", false),
            kControlFlowNone);  // as the server reads it
  for (uint8_t code = 0; code <= kControlLast + 1; ++code) {
    const char letter = FlowLetter(code);
    if (letter == '\0') continue;
    // A letter read back gives the flow value it came from.
    const bool inbound = code >= kControlInboundFlowNone;
    EXPECT_EQ(FlowControlCode(std::string(1, letter), inbound), code);
  }
  EXPECT_EQ(FlowLetter(kControlFlowDsr), '\0');
  EXPECT_EQ(FlowLetter(kControlDtrOn), '\0');
}

}  // namespace
}  // namespace qmx::telnet
