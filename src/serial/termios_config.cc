#include "serial/termios_config.h"

#include <sys/ioctl.h>

namespace qmx {
namespace {

tcflag_t DataBitsFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t ParityFlags(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return PARENB | PARODD;
    case Parity::kEven:
      return PARENB;
    // With CMSPAR the parity bit is fixed: PARODD makes it 1 (mark), else 0.
    case Parity::kMark:
      return PARENB | CMSPAR | PARODD;
    case Parity::kSpace:
      return PARENB | CMSPAR;
    case Parity::kNone:
      break;
  }
  return 0;
}

struct StandardRate {
  int baud;
  tcflag_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

tcflag_t BaudCode(int baud) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.baud == baud) return rate.code;
  }
  return BOTHER;
}

termios2 BuildTermios2(const termios2& current, const LineSettings& settings,
                       FlowControl flow) {
  termios2 t = current;

  t.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                             IUCLC | IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &=
      ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB |
                                      PARENB | PARODD | CMSPAR | CRTSCTS);

  // The input speed is given explicitly, the same as the output speed.
  const tcflag_t baudCode = BaudCode(settings.baud);
  t.c_cflag |= CLOCAL | CREAD | baudCode | (baudCode << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(settings.baud);
  t.c_ospeed = static_cast<speed_t>(settings.baud);
  t.c_cflag |= DataBitsFlag(settings.dataBits);
  t.c_cflag |= ParityFlags(settings.parity);
  if (settings.parity != Parity::kNone) t.c_iflag |= INPCK;
  // One and a half stop bits exist only for 5 data bits on real UARTs; the
  // kernel has one flag for "more than one", which gives both.
  if (settings.stopBits != StopBits::kOne) t.c_cflag |= CSTOPB;

  if (flow == FlowControl::kHardware) t.c_cflag |= CRTSCTS;
  if (flow == FlowControl::kXonXoff) t.c_iflag |= IXON | IXOFF;
  t.c_cc[VSTART] = kXonChar;
  t.c_cc[VSTOP] = kXoffChar;

  // A read returns as soon as one byte is there; the descriptor is
  // non-blocking, so with nothing there it returns at once.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return t;
}

int ApplyLineSettings(int fd, const LineSettings& settings, FlowControl flow) {
  termios2 current{};
  (void)::ioctl(fd, TCGETS2, &current);  // a device that cannot say refuses the set too
  termios2 wanted = BuildTermios2(current, settings, flow);
  return ::ioctl(fd, TCSETS2, &wanted) == 0 ? 1 : 0;
}

}  // namespace qmx
