#!/usr/bin/env python3
"""Standard clients against the real qmxd: nc with LF and with CR LF line
ends, and Python sockets that half-close after they sent (as scripts and
`nc -q` do), on the control line and on a data line bridged to an echo
device, twenty times each.

Usage: standard_clients_test.py BIN_DIR
Exit status 0 when every check passed, 1 otherwise, 77 when a tool is missing.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from client_support import check, failures, free_port, read_until, wait_listening, stop

GREETING = b"QMX ver2.01 ready\r\n"
HELLO = b"220 QMX ver2.01 ready\r\n"


def read_to_end(sock):
    return read_until(sock, lambda data: False)


def read_count(sock, count):
    return read_until(sock, lambda data: len(data) >= count)


def run_nc(args, text, port):
    done = subprocess.run(["nc", *args, "-q", "1", "127.0.0.1", str(port)],
                          input=text, capture_output=True, timeout=30)
    return done.stdout


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    if shutil.which("nc") is None:
        print("nc is missing")
        return 77
    folder = tempfile.mkdtemp(prefix="qmx-clients-")
    control, data = free_port(), free_port()
    lines = ["QMX standard clients", str(control),
             f"{data},com1"] + ["unused,unused"] * 7
    lines += [f"com{n},9600,n,8,1,n" for n in range(1, 9)] + ["0"]
    with open(os.path.join(folder, "qmx.txt"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    vport = subprocess.Popen([os.path.join(bin_dir, "qmx-vport"), "com1"], cwd=folder)
    server = None
    try:
        for _ in range(200):
            if os.path.lexists(os.path.join(folder, "com1")):
                break
            time.sleep(0.02)
        server = subprocess.Popen([os.path.join(bin_dir, "qmxd"), "--listen", "127.0.0.1"],
                                  cwd=folder, stderr=subprocess.DEVNULL)
        if not (wait_listening(control) and wait_listening(data)):
            print("FAIL: qmxd does not listen")
            return 1

        # nc ends a line with LF, nc -C with CR LF: every command is answered.
        got = run_nc([], b"hello\nhello\n", control)
        check(got == GREETING + (b"hello\r\n" + HELLO) * 2, f"nc with LF got {got!r}")
        got = run_nc(["-C"], b"hello\nhello\n", control)
        check(got == GREETING + (b"hello\r\n" + HELLO) * 2, f"nc -C got {got!r}")
        # A data line stays open: nc leaves after two idle seconds.
        got = run_nc(["-w", "2"], b"abc\n", data)
        check(got == b"abc\n", f"nc on the data line got {got!r}")

        for round in range(20):
            # Control line: the reply, then the end of the connection.
            with socket.create_connection(("127.0.0.1", control), timeout=10) as s:
                s.sendall(b"status\r")
                s.shutdown(socket.SHUT_WR)
                got = read_to_end(s)
                check(got.startswith(GREETING + b"status\r\n200 Status is:\r\n1:")
                      and got.endswith(b"8:unused-unused unused\r\n"),
                      f"half-closed control client, round {round}: {got!r}")
            # Data line: the device's echo after the end of input.
            with socket.create_connection(("127.0.0.1", data), timeout=10) as s:
                line = b"abc %d\n" % round
                s.sendall(line)
                s.shutdown(socket.SHUT_WR)
                got = read_count(s, len(line))
                check(got == line, f"half-closed data client, round {round}: {got!r}")
        return 1 if failures else 0
    finally:
        stop(server, vport)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
