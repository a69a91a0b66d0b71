// Definition texts, flow letters and the termios2 block, without a device.
#include "serial/line_settings.h"

#include <gtest/gtest.h>

#include "serial/termios_config.h"

namespace qmx {
namespace {

TEST(SerialLineSettingsTest, ParsesValidDefinitionsAndRefusesMalformedOnes) {
  auto s = ParseDefinition("19200,e,7,2");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->baud, 19200);
  EXPECT_EQ(s->parity, Parity::kEven);
  EXPECT_EQ(s->dataBits, 7);
  EXPECT_EQ(s->stopBits, StopBits::kTwo);
  EXPECT_EQ(ParseDefinition("14400,o,5,1.5")->stopBits, StopBits::kOneAndHalf);
  EXPECT_EQ(ParseDefinition("300,m,6,1")->parity, Parity::kMark);
  EXPECT_EQ(ParseDefinition(" 9600 , S , 8 , 1 ")->parity, Parity::kSpace);
  EXPECT_EQ(StopBitsTraceValue(StopBits::kOneAndHalf), 2);

  for (const char* text :
       {"", "9600", "9600,n,8", "9600,n,8,1,", "0,n,8,1", "-9600,n,8,1", "96OO,n,8,1",
        "99999999999,n,8,1", "9600,x,8,1", "9600,no,8,1", "9600,,8,1", "9600,n,4,1",
        "9600,n,9,1", "9600,n,8,3"}) {
    EXPECT_FALSE(ParseDefinition(text)) << text;
  }
}

// A block as a terminal leaves it: line editing, echo, CR/LF translation,
// Xon/Xoff, a classic baud code, odd parity, hardware handshake.
termios2 Cooked() {
  termios2 t{};
  t.c_iflag = ICRNL | IXON | IXANY | ISTRIP;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  t.c_cflag = B38400 | CS8 | CRTSCTS | PARENB | PARODD | CSTOPB;
  return t;
}

termios2 Build(const char* definition, FlowControl flow = FlowControl::kNone) {
  return BuildTermios2(Cooked(), *ParseDefinition(definition), flow);
}

TEST(SerialTermiosTest, BuildsARawBlockWithTheExactBaudAndFraming) {
  const termios2 t = Build("14400,n,8,1");
  EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t{BOTHER});
  EXPECT_EQ((t.c_cflag >> IBSHIFT) & CBAUD, tcflag_t{BOTHER});
  EXPECT_EQ(t.c_ospeed, 14400u);
  EXPECT_EQ(t.c_ispeed, 14400u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS),
            tcflag_t{CS8});
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXANY | ISTRIP | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  const termios2 even = Build("19200,e,7,2");
  EXPECT_EQ(even.c_cflag & framing, tcflag_t{CS7 | PARENB | CSTOPB});
  EXPECT_NE(even.c_iflag & INPCK, 0u);
  EXPECT_EQ(Build("9600,o,8,1").c_cflag & framing, tcflag_t{CS8 | PARENB | PARODD});
  EXPECT_EQ(Build("9600,m,6,1").c_cflag & framing,
            tcflag_t{CS6 | PARENB | PARODD | CMSPAR});
  EXPECT_EQ(Build("9600,s,8,1").c_cflag & framing, tcflag_t{CS8 | PARENB | CMSPAR});
  EXPECT_EQ(Build("9600,n,5,1.5").c_cflag & framing, tcflag_t{CS5 | CSTOPB});
}

TEST(SerialTermiosTest, StandardRatesUseTheirConstantForBothDirections) {
  EXPECT_EQ(BaudCode(50), tcflag_t{B50});
  EXPECT_EQ(BaudCode(38400), tcflag_t{B38400});
  EXPECT_EQ(BaudCode(57600), tcflag_t{B57600});  // the first of the extended codes
  EXPECT_EQ(BaudCode(4000000), tcflag_t{B4000000});
  for (int odd : {0, 14400, 128000, 4000001}) {
    EXPECT_EQ(BaudCode(odd), tcflag_t{BOTHER}) << odd;
  }

  // Cooked() holds B38400; a block left with BOTHER by an earlier odd rate
  // must not keep that bit either.
  termios2 custom = Cooked();
  custom.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  for (const termios2& current : {Cooked(), custom}) {
    const termios2 t =
        BuildTermios2(current, *ParseDefinition("9600,n,8,1"), FlowControl::kNone);
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t{B9600});
    EXPECT_EQ((t.c_cflag >> IBSHIFT) & CBAUD, tcflag_t{B9600});
    EXPECT_EQ(t.c_ospeed, 9600u);
    EXPECT_EQ(t.c_ispeed, 9600u);
  }
  const termios2 fast = Build("115200,n,8,1");
  EXPECT_EQ(fast.c_cflag & CBAUD, tcflag_t{B115200});
  EXPECT_EQ((fast.c_cflag >> IBSHIFT) & CBAUD, tcflag_t{B115200});
}

TEST(SerialTermiosTest, FlowFollowsTheFirstLetterCaseSensitively) {
  for (const char* flow : {"", "n", "Xon/Xoff", "H"}) {
    EXPECT_EQ(FlowFromText(flow), FlowControl::kNone) << flow;
  }
  const termios2 hardware = Build("9600,n,8,1", FlowFromText("hardware"));
  EXPECT_NE(hardware.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(hardware.c_iflag & (IXON | IXOFF), 0u);
  const termios2 xon = Build("9600,n,8,1", FlowFromText("xon"));
  EXPECT_EQ(xon.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(xon.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(xon.c_cc[VSTART], 0x11);
  EXPECT_EQ(xon.c_cc[VSTOP], 0x13);
}

}  // namespace
}  // namespace qmx
