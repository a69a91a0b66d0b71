#!/usr/bin/env python3
"""TLS lines of the real qmxd against standard TLS clients, Python's ssl,
`openssl s_client` and `socat OPENSSL:`, with client certificates from a CA
made for the test. Each carries a mebibyte of every byte value both ways
through a data line and its echo device. A client without a certificate, one
whose certificate another CA signed, one that does not speak TLS and one that
stays silent never get a byte of the device, and none of them keeps the next
client from the line. A client that ends its TCP output without a
close_notify still gets its answers.

Usage: tls_clients_test.py BIN_DIR
Exit status 0 when every check passed, 1 otherwise, 77 when a tool is missing.
"""
import os
import random
import re
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

from client_support import check, failures, free_port, read_until, wait_listening, stop

GREETING = b"QMX ver2.01 ready\r\n"
HELLO = b"220 QMX ver2.01 ready\r\n"


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def make_certificates(folder):
    """A CA, the server's certificate for 127.0.0.1, two clients of the CA
    and one client of another CA; EC keys, valid for a day."""
    for ca in ("ca", "other-ca"):
        openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-nodes", "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "1",
                "-subj", f"/CN={ca}")
    def issue(name, ca, extra):
        openssl(folder, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
        with open(os.path.join(folder, f"{name}.ext"), "w") as f:
            f.write(extra)
        openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey",
                f"{ca}.key", "-CAcreateserial", "-out", f"{name}.pem", "-days", "1",
                "-extfile", f"{name}.ext")
    issue("server", "ca", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    issue("alice", "ca", "extendedKeyUsage=clientAuth\n")
    issue("bob", "ca", "extendedKeyUsage=clientAuth\n")
    issue("mallory", "other-ca", "extendedKeyUsage=clientAuth\n")


def client_context(folder, name=None):
    context = ssl.create_default_context(cafile=os.path.join(folder, "ca.pem"))
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if name is not None:
        context.load_cert_chain(os.path.join(folder, f"{name}.pem"),
                                os.path.join(folder, f"{name}.key"))
    return context


def connect(folder, port, name):
    raw = socket.create_connection(("127.0.0.1", port), timeout=10)
    return client_context(folder, name).wrap_socket(raw, server_hostname="127.0.0.1")


def s_client(port, name):
    command = ["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-quiet",
               "-CAfile", "ca.pem", "-verify_return_error"]
    return command + (["-cert", f"{name}.pem", "-key", f"{name}.key"] if name else [])


def socat(port, name):
    # -T: socat leaves by itself once nothing has moved for a while.
    return ["socat", "-T", "20", "STDIO",
            f"OPENSSL:127.0.0.1:{port},cafile=ca.pem,cert={name}.pem,key={name}.key"]


def feed(stream, data):
    try:
        stream.write(data)
        stream.close()
    except OSError:  # a refused client is gone before it took everything
        pass


def pump(folder, command, data, limit=60):
    """Runs a client program, writes `data` to its input and then ends that,
    and returns its output up to len(data) bytes, its end, or the limit; then
    ends the program."""
    client = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, cwd=folder)
    writer = threading.Thread(target=feed, args=(client.stdin, data))
    writer.start()
    got = bytearray()
    end = time.monotonic() + limit
    while len(got) < len(data) and time.monotonic() < end:
        if select.select([client.stdout], [], [], 0.5)[0]:
            chunk = os.read(client.stdout.fileno(), 65536)
            if not chunk:
                break
            got += chunk
    client.kill()
    client.wait(timeout=10)
    writer.join(timeout=10)
    client.stdout.close()
    return bytes(got)


def echo(sock, data, limit=60, then=None):
    """Sends `data` and then ends the TCP output under the session, without
    a close_notify, while reading the echo; then runs `then`, when given,
    while the echo still comes. One thread drives the session: an OpenSSL
    session must not be read and written from two threads at once."""
    sock.setblocking(False)
    got = bytearray()
    sent = 0
    end = time.monotonic() + limit
    while len(got) < len(data) and time.monotonic() < end:
        writing = sent < len(data)
        ready_r, ready_w, _ = select.select([sock], [sock] if writing else [], [], 0.5)
        if writing and ready_w:
            try:
                sent += sock.send(data[sent:sent + 65536])
            except (ssl.SSLWantWriteError, ssl.SSLWantReadError, BlockingIOError):
                pass
            if sent == len(data):
                socket.socket.shutdown(sock, socket.SHUT_WR)
                if then is not None:
                    then()
        while ready_r or sock.pending():
            try:
                chunk = sock.recv(65536)
            except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
                break
            except (ssl.SSLError, OSError):
                return bytes(got)
            if not chunk:
                return bytes(got)
            got += chunk
            ready_r = []
    return bytes(got)


def refused(folder, port, name):
    """True when a client with certificate `name` (None: none) is closed by
    the server without getting a byte."""
    try:
        with connect(folder, port, name) as s:
            # TLS 1.3 finishes the client's side first: the refusal shows on
            # the first read.
            return read_until(s, lambda data: len(data) > 0, 10) == b""
    except (ssl.SSLError, OSError):
        return True


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    for tool in ("openssl", "socat"):
        if shutil.which(tool) is None:
            print(tool, "is missing")
            return 77
    folder = tempfile.mkdtemp(prefix="qmx-tls-")
    control, data, metrics = free_port(), free_port(), free_port()
    lines = ["QMX TLS clients", str(control), f"{data},com1"] + ["unused,unused"] * 7
    lines += [f"com{n},9600,n,8,1,n" for n in range(1, 9)] + ["0"]
    with open(os.path.join(folder, "qmx.txt"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    make_certificates(folder)
    vport = subprocess.Popen([os.path.join(bin_dir, "qmx-vport"), "com1"], cwd=folder)
    server = None
    try:
        for _ in range(200):
            if os.path.lexists(os.path.join(folder, "com1")):
                break
            time.sleep(0.02)
        stderr = open(os.path.join(folder, "qmxd.stderr"), "w")
        server = subprocess.Popen(
            [os.path.join(bin_dir, "qmxd"), "--listen", "127.0.0.1", "--tls", "control,1",
             "--tls-cert", "server.pem", "--tls-key", "server.key", "--tls-client-ca",
             "ca.pem", "--metrics", f"127.0.0.1:{metrics}"],
            cwd=folder, stderr=stderr)
        if not (wait_listening(control) and wait_listening(data)):
            print("FAIL: qmxd does not listen")
            return 1

        # Python's ssl: TLS 1.3, the greeting and a reply.
        with connect(folder, control, "alice") as s:
            check(s.version() == "TLSv1.3", f"protocol {s.version()}")
            check(read_until(s, lambda d: d == GREETING) == GREETING, "greeting over TLS")
            s.sendall(b"hello\r")
            got = read_until(s, lambda d: d.endswith(HELLO))
            check(got == b"hello\r\n" + HELLO, f"hello over TLS got {got!r}")
        # A mebibyte of every byte value, in an order that shows a lost,
        # doubled or moved block, through the echo device with each client.
        # The Python client's input ends without a close_notify, which only
        # ends its input: the rest of the echo still reaches it.
        pattern = random.Random(7).randbytes(1 << 20)
        # A client that connects meanwhile and never completes a handshake
        # does not take the line from the one whose input ended.
        intruders = []
        def intrude():
            intruders.append(socket.create_connection(("127.0.0.1", data), timeout=10))
        with connect(folder, data, "bob") as s:
            got = echo(s, pattern, then=intrude)
            check(got == pattern, f"Python ssl echo: {len(got)} of {len(pattern)} bytes")
        for intruder in intruders:
            intruder.close()
        for command in (socat(data, "alice"), s_client(data, "bob")):
            got = pump(folder, command, pattern)
            check(got == pattern, f"{command[0]} echo: {len(got)} of {len(pattern)} bytes")

        # Refused: no certificate, another CA's.
        check(refused(folder, data, None), "a client without a certificate was served")
        check(refused(folder, data, "mallory"), "another CA's client was served")
        check(pump(folder, s_client(data, None), b"probe\n", 20) == b"",
              "s_client without a certificate was served")
        check(pump(folder, socat(data, "mallory"), b"probe\n", 20) == b"",
              "socat with another CA's certificate was served")
        # A plain client gets nothing and does not hold the line: a TLS client
        # connecting while it is still there is served.
        with socket.create_connection(("127.0.0.1", data), timeout=10) as plain:
            plain.sendall(b"plain text, not TLS\r\n")
            got = pump(folder, s_client(data, "bob"), b"after the plain one\n", 30)
            check(got == b"after the plain one\n", f"s_client after a plain client got {got!r}")
            got = read_until(plain, lambda d: False, 15)
            check(b"plain text" not in got, f"a plain client got {got!r}")
        # A silent client is let go at the handshake limit: a TLS client that
        # connects while it waits is served then.
        with socket.create_connection(("127.0.0.1", data), timeout=10) as silent:
            got = pump(folder, socat(data, "alice"), b"after the silent one\n", 30)
            check(got == b"after the silent one\n", f"socat after a silent client got {got!r}")
            check(read_until(silent, lambda d: False, 15) == b"", "a silent client got bytes")

        with socket.create_connection(("127.0.0.1", metrics), timeout=10) as s:
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            page = read_until(s, lambda d: False)
        # The six above, and the probe that found the line listening.
        found = re.search(rb'qmx_line_connections_total\{line="1",result="refused"\} (\d+)', page)
        check(found is not None and int(found.group(1)) >= 6,
              f"the refusals are not counted: {found and found.group(0)!r}")
        stop(server)
        log = open(os.path.join(folder, "qmxd.stderr"), "rb").read()
        check(b"alice connected" in log, "the log does not name the client by its certificate")
        check(b"refused: " in log, "the log does not say why a client was refused")
        check(b"its input ended without a close_notify" in log,
              "the log does not say that a client ended without a close_notify")
        if failures:
            sys.stdout.write(log.decode(errors="replace"))
        return 1 if failures else 0
    finally:
        stop(server, vport)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
