#!/usr/bin/python3
"""A remote-control data line of a running server, driven by a client that
nobody here wrote: pyserial's rfc2217:// handler (Debian python3-serial).

    pyserial_rfc2217_test.py --control PORT --data PORT --device PATH [--host HOST]

--control  the server's control line (TCP port)
--data     the TCP port of a data line that speaks Telnet with remote port
           control
--device   the serial port of that line: its path in the server's working
           directory (for example DIR/com1); its file name is the port name
           used on the control line

The test plays the device. It makes a pseudo-terminal, links PATH to its
device side (an existing link there is put back at the end) and has the
server open the port with `open NAME,9600,n,8,1,n`. Then, through pyserial:
baud rates (a standard one and one termios has no constant for) and the
stop bits reach the device, as its termios settings show (a pseudo-terminal
keeps 8 bits without parity whatever is asked), and `status NAME` shows
the whole frame; all 256 byte values pass both ways; reset_input_buffer,
reset_output_buffer and send_break are answered; DTR and RTS toggle without
failure; data still flows after all that.

Without the three arguments no server is given: the test says so and exits
with 77, the code ctest takes for a skipped test (SKIP_RETURN_CODE 77).
Exits 0 when every check passed, 1 otherwise.
"""

import argparse
import fcntl
import os
import re
import select
import socket
import struct
import sys
import termios
import time

try:
    import serial
except ImportError:  # the install script installs python3-serial
    serial = None

SKIP = 77
WAIT = 10.0  # seconds any single exchange may take before it counts as lost


def tcgets2(fd):
    """(cflag, ispeed, ospeed) of the terminal, speeds as plain numbers.

    struct termios2: four tcflag_t, c_line, c_cc[19], c_ispeed, c_ospeed.
    On a pseudo-terminal's master this reads the device side's settings.
    """
    layout = struct.Struct("IIIIB19sII")
    tcgets2_request = (2 << 30) | (layout.size << 16) | (ord("T") << 8) | 0x2A
    raw = fcntl.ioctl(fd, tcgets2_request, bytes(layout.size))
    fields = layout.unpack(raw)
    return fields[2], fields[6], fields[7]


class ControlLine:
    """The server's text command line: one command, one reply line."""

    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=WAIT)
        self.pending = b""
        self._line(lambda line: line.endswith(b"ready"))

    def _line(self, wanted):
        deadline = time.monotonic() + WAIT
        while True:
            while b"\r\n" in self.pending:
                line, self.pending = self.pending.split(b"\r\n", 1)
                if wanted(line):
                    return line.decode("latin-1")
            if time.monotonic() > deadline:
                raise AssertionError("control line: no reply within %gs" % WAIT)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise AssertionError("control line closed")
            self.pending += chunk

    def command(self, text):
        # Commands end with CR alone; the echo of the line comes first.
        self.sock.sendall(text.encode("ascii") + b"\r")
        return self._line(lambda line: re.match(rb"^\d{3} ", line) is not None)

    def close(self):
        self.sock.close()


class Device:
    """The device side of a pseudo-terminal, linked where the server looks."""

    def __init__(self, link):
        self.link = link
        self.master, self.slave = os.openpty()  # the slave stays open: no hang-ups
        self.old_target = None
        if os.path.islink(link):
            self.old_target = os.readlink(link)
            os.unlink(link)
        elif os.path.exists(link):
            raise AssertionError("%s exists and is not a link" % link)
        os.symlink(os.ttyname(self.slave), link)

    def read_exactly(self, count):
        data = b""
        deadline = time.monotonic() + WAIT
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                data += os.read(self.master, count - len(data))
        return data

    def drain(self):
        while select.select([self.master], [], [], 0)[0]:
            os.read(self.master, 4096)

    def close(self):
        os.unlink(self.link)
        if self.old_target is not None:
            os.symlink(self.old_target, self.link)
        os.close(self.master)
        os.close(self.slave)


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def run(self, name, check):
        try:
            check()
        except Exception as error:  # any failure of one check is reported, the rest go on
            self.failed += 1
            print("FAIL %s: %s: %s" % (name, type(error).__name__, error), flush=True)
        else:
            self.passed += 1
            print("ok   %s" % name, flush=True)


def wait_for(condition, what):
    """Polls `condition` until it holds; the server answers a setting only
    after applying it, so this normally holds at the first look."""
    deadline = time.monotonic() + WAIT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(what() if callable(what) else what)
        time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--control", type=int)
    parser.add_argument("--data", type=int)
    parser.add_argument("--device")
    args = parser.parse_args()
    if args.control is None or args.data is None or args.device is None:
        print("skipped: no server given (--control, --data and --device)")
        return SKIP
    if serial is None:
        print("FAIL: pyserial is missing (Debian package python3-serial)")
        return 1
    name = os.path.basename(args.device)

    device = Device(args.device)
    control = ControlLine(args.host, args.control)
    port = None
    checks = Checks()
    try:
        control.command("close " + name)  # in case the server had it open
        reply = control.command("open %s,9600,n,8,1,n" % name)
        if not reply.startswith("200 opened by"):
            raise AssertionError("open %s: %s" % (name, reply))
        port = serial.serial_for_url("rfc2217://%s:%d" % (args.host, args.data),
                                     baudrate=9600, timeout=WAIT)

        def baud_rates():
            for rate in (115200, 250000, 1200, 9600):
                port.baudrate = rate  # raises when the server answers another rate
                wait_for(lambda: tcgets2(device.master)[1:] == (rate, rate),
                         lambda: "device speed is %r, not %d" % (tcgets2(device.master)[1:],
                                                                 rate))
                status = control.command("status " + name)
                if not status.startswith("200 is opened by %d,n,8,1," % rate):
                    raise AssertionError("status after %d: %s" % (rate, status))

        def frame():
            # A Linux pseudo-terminal always keeps 8 data bits without parity
            # whatever is asked (its driver resets CSIZE and PARENB), so the
            # device shows the stop bits; the server's settings show all three.
            port.bytesize = serial.SEVENBITS
            port.parity = serial.PARITY_EVEN
            port.stopbits = serial.STOPBITS_TWO
            wait_for(lambda: tcgets2(device.master)[0] & termios.CSTOPB != 0,
                     "device has not got two stop bits")
            status = control.command("status " + name)
            if not status.startswith("200 is opened by 9600,e,7,2,"):
                raise AssertionError("status after 7,e,2: " + status)
            port.bytesize = serial.EIGHTBITS
            port.parity = serial.PARITY_NONE
            port.stopbits = serial.STOPBITS_ONE
            wait_for(lambda: tcgets2(device.master)[0] & termios.CSTOPB == 0,
                     "device has not got one stop bit again")
            status = control.command("status " + name)
            if not status.startswith("200 is opened by 9600,n,8,1,"):
                raise AssertionError("status after 8,n,1: " + status)

        every_byte = bytes(range(256)) * 4

        def client_to_device():
            device.drain()
            port.write(every_byte)
            got = device.read_exactly(len(every_byte))
            if got != every_byte:
                raise AssertionError("device got %d bytes, first difference at %s" %
                                     (len(got), first_difference(got, every_byte)))

        def device_to_client():
            port.reset_input_buffer()
            os.write(device.master, every_byte)
            got = port.read(len(every_byte))
            if got != every_byte:
                raise AssertionError("client got %d bytes, first difference at %s" %
                                     (len(got), first_difference(got, every_byte)))

        def purge_and_break():
            port.reset_input_buffer()  # each waits for the server's answer
            port.reset_output_buffer()
            port.send_break(0.1)

        def modem_lines():
            for value in (False, True, False, True):
                port.dtr = value  # each waits for the server's answer
                port.rts = value

        def still_flowing():
            device.drain()
            port.write(b"after\xff")
            if device.read_exactly(6) != b"after\xff":
                raise AssertionError("data stopped after the control commands")
            os.write(device.master, b"\xffback")
            if port.read(5) != b"\xffback":
                raise AssertionError("data from the device stopped")

        checks.run("baud rates reach the device and the status", baud_rates)
        checks.run("data size, parity and stop bits reach the device", frame)
        checks.run("256 byte values from client to device", client_to_device)
        checks.run("256 byte values from device to client", device_to_client)
        checks.run("purge and break are answered", purge_and_break)
        checks.run("DTR and RTS toggle", modem_lines)
        checks.run("data flows after the control commands", still_flowing)
    except Exception as error:
        checks.failed += 1
        print("FAIL setup: %s: %s" % (type(error).__name__, error), flush=True)
    finally:
        if port is not None:
            port.close()
        try:
            control.command("close " + name)
        except Exception:
            pass
        control.close()
        device.close()
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 else 1


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "byte %d (%d, expected %d)" % (i, x, y)
    return "byte %d (length)" % min(len(a), len(b))


if __name__ == "__main__":
    sys.exit(main())
