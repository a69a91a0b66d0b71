#!/usr/bin/env python3
"""Operators and observers on a TLS control line of the real qmxd, with
client certificates from a CA made for the test: an observer may look but
not change, the last control place waits for an operator, and a reload reads
the operators' and allow-list files again without ending any session.

Usage: control_operators_test.py BIN_DIR
Exit status 0 when every check passed, 1 otherwise, 77 when a tool is missing.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from client_support import check, failures, free_port, read_until, wait_listening, stop
from tls_clients_test import GREETING, connect, make_certificates

NOT_OPERATOR = b"530 not an operator\r\n"


def command(s, text):
    """Sends one command and returns its reply, without the echo."""
    s.sendall(text.encode() + b"\r")
    echo = text.encode() + b"\r\n"
    got = read_until(s, lambda d: d.startswith(echo) and d.endswith(b"\r\n") and len(d) > len(echo))
    return got[len(echo):] if got.startswith(echo) else got


def greeted(folder, port, name):
    s = connect(folder, port, name)
    check(read_until(s, lambda d: d == GREETING) == GREETING, f"{name} was not greeted")
    return s


def wait_for_log(path, text, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        with open(path, "rb") as f:
            if text in f.read():
                return True
        time.sleep(0.05)
    return False


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    if shutil.which("openssl") is None:
        print("openssl is missing")
        return 77
    qmxd = os.path.join(bin_dir, "qmxd")
    folder = tempfile.mkdtemp(prefix="qmx-operators-")
    control, data = free_port(), free_port()
    lines = ["QMX operators", str(control), f"{data},com1"] + ["unused,unused"] * 7
    lines += [f"com{n},9600,n,8,1,n" for n in range(1, 9)] + ["0"]
    with open(os.path.join(folder, "qmx.txt"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    make_certificates(folder)
    with open(os.path.join(folder, "operators"), "w") as f:
        f.write("# who may change things\nalice\n")
    with open(os.path.join(folder, "allowed"), "w") as f:
        f.write("127.0.0.0/8\n")
    tls = ["--listen", "127.0.0.1", "--tls", "control", "--tls-cert", "server.pem",
           "--tls-key", "server.key"]

    # Operators are told apart by their certificates: no client CA, no start.
    refused = subprocess.run([qmxd, *tls, "--control-operators", "alice"], cwd=folder,
                             capture_output=True, timeout=20)
    check(refused.returncode == 2 and b"--control-operators needs" in refused.stderr,
          f"operators without a client CA: {refused.returncode} {refused.stderr!r}")

    vport = subprocess.Popen([os.path.join(bin_dir, "qmx-vport"), "com1"], cwd=folder)
    server = None
    log_path = os.path.join(folder, "qmxd.stderr")
    try:
        for _ in range(200):
            if os.path.lexists(os.path.join(folder, "com1")):
                break
            time.sleep(0.02)
        with open(log_path, "w") as log:
            server = subprocess.Popen(
                [qmxd, *tls, "--tls-client-ca", "ca.pem", "--control-operators", "@operators",
                 "--control-clients", "3", "--control-allow", "@allowed"],
                cwd=folder, stderr=log)
        if not (wait_listening(control) and wait_listening(data)):
            print("FAIL: qmxd does not listen")
            return 1

        bob = greeted(folder, control, "bob")
        check(command(bob, "status com1").startswith(b"200 is opened"), "an observer's status")
        for refused_command in ("close com1", "save", "open com1", "receive com1"):
            got = command(bob, refused_command)
            check(got == NOT_OPERATOR, f"observer's {refused_command}: {got!r}")
        check(command(bob, "status com1").startswith(b"200 is opened"),
              "com1 closed by an observer")
        check(wait_for_log(log_path, b"bob is not an operator: close com1"),
              "the refusal is not in the error log")

        # Three places: a second observer takes one, a third would take the
        # last and is refused; the operator still gets in.
        bob2 = greeted(folder, control, "bob")
        with connect(folder, control, "bob") as third:
            got = read_until(third, lambda d: False, 10)
            check(got.startswith(b"530 ") and GREETING not in got,
                  f"an observer took the last place: {got!r}")
        alice = greeted(folder, control, "alice")
        check(command(alice, "close com1") == b"200 OK\r\n", "the operator's close com1")
        bob2.close()

        # Reload: bob becomes the operator, alice an observer, from their next
        # command and in the sessions they have.
        with open(os.path.join(folder, "operators"), "w") as f:
            f.write("bob\n")
        server.send_signal(signal.SIGHUP)
        check(wait_for_log(log_path, b"allow-lists and operators read again"),
              f"no reload (qmxd: {server.poll()})")
        got = command(bob, "open com1")
        check(got.startswith(b"200"), f"bob, now an operator, opens com1: {got!r}")
        check(command(alice, "save") == NOT_OPERATOR, "alice is still an operator")

        # An allow-list file read again: the loopback is no longer allowed, so
        # a new control client is closed unserved while the sessions stay.
        with open(os.path.join(folder, "allowed"), "w") as f:
            f.write("192.0.2.0/24\n")
        server.send_signal(signal.SIGHUP)
        end = time.monotonic() + 10
        while time.monotonic() < end:
            with open(log_path, "rb") as f:
                if f.read().count(b"allow-lists and operators read again") >= 2:
                    break
            time.sleep(0.05)
        with socket.create_connection(("127.0.0.1", control), timeout=10) as s:
            check(read_until(s, lambda d: False, 5) == b"", "a client outside the list served")
        check(command(bob, "status com1").startswith(b"200 is opened"),
              "a session ended by the reload")
        bob.close()
        alice.close()
        stop(server)
        if failures:
            sys.stdout.write(open(log_path, "rb").read().decode(errors="replace"))
        return 1 if failures else 0
    finally:
        stop(server, vport)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
