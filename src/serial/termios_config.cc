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

}  // namespace

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

  t.c_cflag |= CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
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
