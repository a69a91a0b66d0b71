#!/usr/bin/env python3
"""The real qmxd with more than eight data lines (--lines 16 and --lines 64)
on pseudo-terminals played by qmx-vport as echo devices: every line relays,
status lists every line, commands reach the high ports and TCP ports, a copy
line can take a high port, and save writes the extra lines back so that a
restart serves the same lines. An eight-line file is saved byte for byte as
it was.

Usage: many_lines_test.py BIN_DIR
Exit status 0 when every check passed, 1 otherwise.
"""
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from client_support import (check, failures, free_port, free_ports, read_until, stop,
                            wait_listening)

GREETING = b"QMX ver2.01 ready\r\n"


def settings_text(control, ports, lines, unused=()):
    """A settings file: the 19 lines of the first eight data lines, then a
    pair for each further one, each with a remark."""
    def data(L):
        if L in unused:
            return f"{ports[L]},unused\tline {L}"
        return f"{ports[L]},com{L}\tline {L}"
    def port(L):
        return f"com{L},9600,n,8,1,n\tport {L}"
    text = ["QMX many lines", f"{control}\tcontrol"]
    text += [data(L) for L in range(1, 9)] + [port(L) for L in range(1, 9)] + ["0\tminimize"]
    for L in range(9, lines + 1):
        text += [data(L), port(L)]
    return "".join(line + "\r\n" for line in text)


class Control:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        check(read_until(self.sock, lambda d: d == GREETING) == GREETING, "greeting")

    def command(self, text, lines=1):
        """The reply to one command, without the echo: `lines` CR LF lines."""
        self.sock.sendall(text.encode() + b"\r")
        echo = text.encode() + b"\r\n"
        got = read_until(self.sock, lambda d: d.startswith(echo) and
                         d[len(echo):].count(b"\r\n") >= lines, 20)
        return got[len(echo):]

    def close(self):
        self.sock.close()


def all_lines_relay(ports, lines, skip=()):
    """Every data line at once: a client on each sends its own text, which
    the echo device sends back to it alone."""
    selector = selectors.DefaultSelector()
    clients = {}
    for L in range(1, lines + 1):
        if L in skip:
            continue
        s = socket.create_connection(("127.0.0.1", ports[L]), timeout=10)
        clients[L] = [s, b""]
        selector.register(s, selectors.EVENT_READ, L)
    time.sleep(0.2)  # each client takes its line's place before its device speaks
    for L, (s, _) in clients.items():
        s.sendall(f"<line {L}>".encode() * 10)
    want = {L: f"<line {L}>".encode() * 10 for L in clients}
    end = time.monotonic() + 20
    while time.monotonic() < end and any(clients[L][1] != want[L] for L in clients):
        for key, _ in selector.select(0.5):
            chunk = key.fileobj.recv(65536)
            if chunk:
                clients[key.data][1] += chunk
            else:
                selector.unregister(key.fileobj)
    wrong = [L for L in clients if clients[L][1] != want[L]]
    for s, _ in clients.values():
        s.close()
    return wrong


class Server:
    def __init__(self, bin_dir, folder, lines):
        self.log = open(os.path.join(folder, "qmxd.stderr"), "a")
        args = [os.path.join(bin_dir, "qmxd"), "--listen", "127.0.0.1"]
        if lines != 8:
            args += ["--lines", str(lines)]
        self.process = subprocess.Popen(args, cwd=folder, stderr=self.log)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=20)
        self.log.close()


def run(bin_dir, lines):
    folder = tempfile.mkdtemp(prefix=f"qmx-{lines}-lines-")
    picked = free_ports(lines + 1)
    control = picked[0]
    ports = {L: picked[L] for L in range(1, lines + 1)}
    # Line 9 is unused, so that a copy line can take it.
    text = settings_text(control, ports, lines, unused={9})
    path = os.path.join(folder, "qmx.txt")
    with open(path, "w", newline="") as f:
        f.write(text)
    names = [f"com{L}" for L in range(1, lines + 1)]
    vport = subprocess.Popen([os.path.join(bin_dir, "qmx-vport"), *names], cwd=folder,
                             stdout=subprocess.DEVNULL)
    server = None
    try:
        end = time.monotonic() + 10
        while time.monotonic() < end and not all(
                os.path.lexists(os.path.join(folder, n)) for n in names):
            time.sleep(0.02)
        server = Server(bin_dir, folder, lines)
        if not all(wait_listening(p) for p in [control] + [ports[L] for L in ports if L != 9]):
            check(False, f"{lines} lines: qmxd does not listen on every line")
            return
        wrong = all_lines_relay(ports, lines, skip={9})
        check(not wrong, f"{lines} lines: lines {wrong} did not relay")

        ctl = Control(control)
        status = ctl.command("status", lines + 1)
        rows = status.split(b"\r\n")
        check(rows[0] == b"200 Status is:", f"{lines} lines: status {rows[0]!r}")
        check(rows[lines] == f"{lines}:{ports[lines]}-com{lines} OK".encode(),
              f"{lines} lines: the last status row {rows[lines]!r}")
        check(rows[9] == f"9:{ports[9]}-unused unused".encode(),
              f"{lines} lines: line 9's status row {rows[9]!r}")
        check(len(rows) == lines + 2, f"{lines} lines: status has {len(rows) - 2} rows")

        high = lines  # the last line: its port and its TCP port
        check(ctl.command("close com12") == b"200 OK\r\n", "close com12")
        got = ctl.command("open com12,19200,n,8,1,n")
        check(got.startswith(b"200"), f"open com12: {got!r}")
        check(ctl.command("status com12").startswith(b"200 is opened by 19200,n,8,1"),
              "com12 is not open at 19200")
        got = ctl.command(f"receive com{high}")
        check(got.startswith(b"200"), f"receive com{high}: {got!r}")
        check(ctl.command("status", lines + 1).split(b"\r\n")[9] ==
              f"9:{ports[9]}-receive com{high} OK".encode(), "the copy line is not line 9")
        # The copy line gets what com{high}'s device sends to its own client.
        if wait_listening(ports[9]):
            with socket.create_connection(("127.0.0.1", ports[9]), timeout=10) as copy, \
                 socket.create_connection(("127.0.0.1", ports[high]), timeout=10) as own:
                time.sleep(0.2)
                own.sendall(b"copied")
                check(read_until(copy, lambda d: len(d) >= 6) == b"copied",
                      f"line 9 does not copy com{high}")
        check(ctl.command(f"close {ports[high - 1]}") == b"200 OK\r\n",
              f"close by line {high - 1}'s TCP port")
        check(ctl.command("save") == b"200 saved setup\r\n", "save")
        ctl.close()
        saved = open(path, "rb").read()
        written = saved.count(b"\r\n")
        check(written == 19 + 2 * (lines - 8), f"{lines} lines: save wrote {written} lines")
        check(f"{ports[12]},com12\tline 12\r\ncom12,19200,n,8,1,n\tport 12\r\n".encode()
              in saved, "save did not write line 12's pair with its remarks")
        server.stop()

        # A restart serves what was saved.
        server = Server(bin_dir, folder, lines)
        wait_listening(control)
        ctl = Control(control)
        again = ctl.command("status", lines + 1)
        ctl.close()
        check(again == ctl_status_after(status, ports, lines, high),
              f"{lines} lines: the restarted server serves other lines: {again!r}")
    finally:
        if server is not None:
            server.stop()
        stop(vport)
        if failures:
            sys.stdout.write(open(os.path.join(folder, "qmxd.stderr")).read()[-3000:])
        shutil.rmtree(folder, ignore_errors=True)


def ctl_status_after(status, ports, lines, high):
    """The status a restart shows: line 9 copies com{high}, and the line
    before com{high}'s, closed by its TCP port, was saved as unused."""
    rows = status.split(b"\r\n")
    rows[9] = f"9:{ports[9]}-receive com{high} OK".encode()
    rows[high - 1] = f"{high - 1}:unused-unused unused".encode()
    return b"\r\n".join(rows)


def eight_lines_unchanged(bin_dir):
    """An eight-line file as a server without --lines saves it: byte for
    byte as it was."""
    folder = tempfile.mkdtemp(prefix="qmx-8-lines-")
    control = free_port()
    ports = {L: free_port() for L in range(1, 9)}
    text = settings_text(control, ports, 8, unused=set(range(1, 9)))
    with open(os.path.join(folder, "qmx.txt"), "w", newline="") as f:
        f.write(text)
    server = Server(bin_dir, folder, 8)
    try:
        wait_listening(control)
        ctl = Control(control)
        check(ctl.command("save") == b"200 saved setup\r\n", "8 lines: save")
        ctl.close()
        saved = open(os.path.join(folder, "qmx.txt"), newline="").read()
        check(saved == text, f"8 lines: the saved file differs: {saved!r}")
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    eight_lines_unchanged(bin_dir)
    for lines in (16, 64):
        run(bin_dir, lines)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
