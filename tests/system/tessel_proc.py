"""Shared helpers for the transmitter's process-level suites: where the programs are, free
loopback ports, and running a program with its log lines parsed."""
import functools
import os
import re
import socket
import subprocess
import tempfile
import time

import pytest

BIN = os.environ.get("TESSEL_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "bin")

STAMP = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*)$")


def program(name):
    path = os.path.join(BIN, name)
    if not os.path.exists(path):
        # A suite that cannot run must not pass: build the program (or point TESSEL_BIN at it).
        pytest.fail(f"{name} is not built (looked in {BIN})")
    return path


def wait_for(cond, seconds, step=0.1):
    """Polls `cond` until it returns something true or `seconds` pass; returns its last value."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(step)
    return cond()


def free_udp_ports(count=1, consecutive=False):
    """Loopback UDP ports that are free right now (consecutive ones when asked)."""
    for _ in range(200):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        base = s.getsockname()[1]
        s.close()
        ports = [base + i for i in range(count)] if consecutive else None
        if ports is None:
            return [base] + [free_udp_ports()[0] for _ in range(count - 1)]
        if ports[-1] > 65535:
            continue
        ok = True
        for p in ports:
            t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                t.bind(("127.0.0.1", p))
            except OSError:
                ok = False
            finally:
                t.close()
        if ok:
            return ports
    raise RuntimeError("no free consecutive ports")


def log_texts(stderr):
    """The texts of time-stamped log lines, in order (other lines are dropped)."""
    out = []
    for line in stderr.splitlines():
        m = STAMP.match(line)
        if m:
            out.append(m.group(1))
    return out


def run(args, timeout=10, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)


MAGIC = b"H!G "


class Peer:
    """A receiver stand-in: UDP sockets on a range of loopback ports that collect what the
    transmitter sends, and can answer from the port the transmitter sends to."""

    def __init__(self, count=1):
        self.ports = free_udp_ports(count, consecutive=True)
        self.socks = []
        for p in self.ports:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind(("127.0.0.1", p))
            s.setblocking(False)
            self.socks.append(s)
        self.got = []  # (arrival time, port, bytes, source address)
        self.source = None

    @property
    def dest(self):
        return "127.0.0.1:%d" % self.ports[0]

    def poll(self, seconds):
        import select
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            ready, _, _ = select.select(self.socks, [], [], left)
            for s in ready:
                while True:
                    try:
                        data, src = s.recvfrom(4096)
                    except BlockingIOError:
                        break
                    self.source = src
                    self.got.append((time.monotonic(), s.getsockname()[1], data, src))

    def send(self, data):
        self.socks[0].sendto(data, self.source)

    def of_type(self, *types):
        return [g for g in self.got if g[2][5] & 0x3F in types]

    def close(self):
        for s in self.socks:
            s.close()


def header(version, type_byte, size=0, ident=0):
    return MAGIC + bytes([version, type_byte, size, ident])


def ts_packet(pid, cc, payload=True, fill=0):
    return bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, (0x10 if payload else 0x20) | (cc & 0x0F)]) + bytes([fill]) * 184


def run_with_syslog(args, tmp, timeout=20):
    """Runs a program in a private mount namespace whose /dev/log is a datagram socket of ours.
    Returns the completed process and the syslog records as (priority, identity, text)."""
    dev_up = tmp / "dev-up"
    dev_up.mkdir()
    (dev_up / "log").touch()
    (tmp / "dev-work").mkdir()
    sock_path = str(tmp / "log.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(sock_path)
    script = (f"mount -t overlay overlay -o lowerdir=/dev,upperdir={dev_up},workdir={tmp}/dev-work /dev && "
              f"mount --bind {sock_path} /dev/log && exec \"$@\"")
    try:
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"] + args,
                           capture_output=True, text=True, timeout=timeout)
        records = []
        sock.setblocking(False)
        while True:
            try:
                text = sock.recv(65536).decode("utf-8", "replace").rstrip("\n")
            except BlockingIOError:
                break
            pri, rest = text[1:].split(">", 1)
            ident, _, message = rest[16:].partition(": ")
            records.append((int(pri), ident, message))
        return r, records
    finally:
        sock.close()


def needs_isolation(test):
    """Marks a test that runs a program in a private mount namespace: without one (not root)
    the test fails rather than passing unseen."""
    @functools.wraps(test)
    def run(*args, **kwargs):
        if not can_isolate():
            pytest.fail("needs mount namespaces (run as root)")
        return test(*args, **kwargs)
    return run


class LoggedPopen(subprocess.Popen):
    """A program whose standard error goes to a file while it runs, so that a test can wait for
    its start-up line instead of sleeping. communicate() returns (stdout, stderr) as usual."""

    def __init__(self, args, ready=None, timeout=10, **kwargs):
        self._err = tempfile.TemporaryFile("w+")
        super().__init__(args, stdout=subprocess.PIPE, stderr=self._err, text=True, **kwargs)
        if ready is not None:
            self.wait_for(ready, timeout)

    def err(self):
        self._err.seek(0)
        return self._err.read()

    def wait_for(self, text, timeout=10):
        """Returns once `text` was logged, or once the program has ended (the test then looks at
        how it ended); fails after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while text not in self.err():
            if self.poll() is not None:
                return
            if time.monotonic() > deadline:
                raise AssertionError("no '%s' within %d s in: %s" % (text, timeout, self.err()))
            time.sleep(0.01)

    def communicate(self, input=None, timeout=None):
        out, _ = super().communicate(input, timeout)
        return out, self.err()


# The transmitter's start-up line: its sockets are open and the loop runs next.
TX_READY = "starting. Proto v"


def can_isolate():
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    return r.returncode == 0
