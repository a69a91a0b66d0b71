"""What the Python end-to-end tests share: checks that collect failures,
free TCP ports, waiting for a listener, and bounded reads."""
import random
import socket
import ssl
import time

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_ports(count):
    """`count` distinct TCP ports free now, below the range the kernel picks
    clients' ports from: a test holding many ports for a while cannot lose
    one to another test's outgoing connection, as an ephemeral one can."""
    low = 32768
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    ports = []
    rng = random.Random()
    while len(ports) < count:
        port = rng.randrange(max(1024, low - 12000), low)
        if port in ports:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        ports.append(port)
    return ports


def wait_listening(port, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                # A reset, so the probe does not hold a data line.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                return True
        except OSError:
            time.sleep(0.05)
    return False


def read_until(sock, enough, limit=10.0):
    """Reads until enough(data) holds, the peer ends or fails, or the time is
    up."""
    sock.settimeout(limit)
    data = b""
    end = time.monotonic() + limit
    while not enough(data) and time.monotonic() < end:
        try:
            chunk = sock.recv(65536)
        except (socket.timeout, ssl.SSLError, OSError):
            break
        if not chunk:
            break
        data += chunk
    return data


def stop(*processes):
    """Ends each process that still runs (SIGTERM), waiting a bounded time."""
    for process in processes:
        if process is not None and process.poll() is None:
            process.terminate()
            process.wait(timeout=20)
