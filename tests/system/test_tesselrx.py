"""The reference receiver as a process: against a hand-driven transmitter stand-in (layouts,
reordering, refusals, pings and descriptions), and at the far end of a real tesseltx (the stream
arrives byte for byte, numbered from 1, into a file, standard output or UDP)."""
import os
import re
import select
import signal
import socket
import struct
import subprocess
import time

import pytest

from tessel_proc import MAGIC, free_udp_ports, log_texts, program

REPORT = re.compile(r"^(Slices|Missing|Packets|Dropped|Pings): (.*)$")


def report(stderr):
    """The receiver's final report as one dict of counters."""
    out = {}
    for text in log_texts(stderr):
        m = REPORT.match(text)
        if m:
            for item in m.group(2).split(", "):
                key, value = item.rsplit(" ", 1)
                out[key] = int(value)
    return out


def data_packet(seq, ts, version=7, type_=0, fec_seq=None, t=None):
    n = len(ts) // 188
    t = (1, seq * 1000000) if t is None else t  # one millisecond apart, as from a real input
    head = MAGIC + bytes([version, type_ | (0x40 if fec_seq is not None else 0), 0, 0]) + struct.pack("<qq", 0, 0)
    if fec_seq is not None:
        head += struct.pack("<Q", fec_seq)
    return head + struct.pack("<Qqq", seq, t[0], t[1]) + bytes([n]) + ts + b"\0\0\0"


STARTED = []  # every process of a test, ended at its teardown even when the test failed


@pytest.fixture(autouse=True)
def end_processes():
    yield
    while STARTED:
        p = STARTED.pop()
        if p.poll() is None:
            p.kill()
            p.wait(timeout=10)


def popen(args, **kw):
    p = subprocess.Popen(args, **kw)
    STARTED.append(p)
    return p


class Receiver:
    def __init__(self, rx, *args, ports=1, latency=100, out=None, stdout=None):
        self.ports = free_udp_ports(ports, consecutive=True)
        self.err = open(os.path.join(out or "/tmp", "rx-%d.log" % self.ports[0]), "w+")
        cmd = [rx, "-s", "127.0.0.1:%d" % self.ports[0], "-k", str(ports), "-o", str(latency)] + list(args)
        self.proc = popen(cmd, stdout=stdout or subprocess.DEVNULL, stderr=self.err)
        self.wait_for("Listening on")

    def log(self):
        self.err.seek(0)
        return self.err.read()

    def wait_for(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log():
                return
            if self.proc.poll() is not None:
                raise AssertionError("receiver ended: " + self.log())
            time.sleep(0.02)
        raise AssertionError("no '%s' in: %s" % (text, self.log()))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=20)
        assert self.proc.returncode == 0
        return report(self.log())


@pytest.fixture(scope="module")
def rx():
    return program("tesselrx")


@pytest.fixture
def fake_tx():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    yield s
    s.close()


def collect(sock, seconds):
    got = []
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if select.select([sock], [], [], left)[0]:
            got.append(sock.recv(4096))
    return got


def ts_bytes(first, n):
    return bytes((first + k) & 0xFF for k in range(188 * n))


def test_reordered_duplicated_and_refused_datagrams(rx, fake_tx, tmp_path):
    out = tmp_path / "out.ts"
    r = Receiver(rx, "-w", str(out), ports=2, latency=200, out=str(tmp_path))
    slices = {s: ts_bytes(s, s % 8) for s in range(1, 9)}  # 0 to 7 TS packets each
    order = [2, 1, 3, 5, 4, 6, 8, 7]
    for i, s in enumerate(order):
        fec = s if s % 2 else None  # both layouts
        fake_tx.sendto(data_packet(s, slices[s], fec_seq=fec), ("127.0.0.1", r.ports[i % 2]))
    fake_tx.sendto(data_packet(3, slices[3]), ("127.0.0.1", r.ports[0]))  # duplicate
    fake_tx.sendto(data_packet(4, slices[4], type_=1), ("127.0.0.1", r.ports[1]))  # resent copy
    for bad in [b"", b"\x20\x47\x21\x48" + bytes(60), data_packet(9, b"", version=6),
                MAGIC + bytes([7, 0x11, 0, 0]) + bytes(40), data_packet(10, ts_bytes(0, 2))[:300]]:
        fake_tx.sendto(bad, ("127.0.0.1", r.ports[0]))
    time.sleep(0.5)
    c = r.stop()
    assert out.read_bytes() == b"".join(slices[s] for s in range(1, 9))
    assert c["received"] == 8 and c["first"] == 1 and c["highest"] == 8 and c["played"] == 8
    assert c["duplicates"] == 2 and c["lost"] == 0
    assert c["data"] == 9 and c["resent"] == 1 and c["fec_layout"] == 4
    assert (c["wrong_magic"], c["wrong_version"], c["unknown_type"], c["malformed"]) == (2, 1, 1, 1)


def test_pings_and_descriptions_go_to_the_source_of_the_data(rx, fake_tx, tmp_path):
    r = Receiver(rx, "-w", str(tmp_path / "o.ts"), "-N", "5", "-D", "far end", out=str(tmp_path))
    fake_tx.sendto(data_packet(1, ts_bytes(0, 1)), ("127.0.0.1", r.ports[0]))
    # Our description, asking for the receiver's: it answers with a reply.
    body = bytes([1, 1, 3, 2, 5]) + b"alpha"
    fake_tx.sendto(MAGIC + bytes([7, 0x20, len(body), 0]) + body, ("127.0.0.1", r.ports[0]))
    got = collect(fake_tx, 1.0)
    r.wait_for("RX info: HA3: alpha, rx0: (none)")
    types = [g[5] for g in got]
    assert types[0] == 0x20  # asks for ours at first contact
    assert 0x21 in types
    info = got[types.index(0x21)]
    assert info == MAGIC + bytes([7, 0x21, 12, 0, 1, 1, 5, 4, 7]) + b"far end"
    pings = [g for g in got if g[5] == 0x11]
    assert 4 <= len(pings) <= 15  # every 100 ms, with a wide band for a loaded machine
    seqs = [struct.unpack_from("<Q", p, 8)[0] for p in pings]
    assert seqs == list(range(1, len(pings) + 1))
    assert all(len(p) == 48 and p[4] == 7 for p in pings)
    # Echo the last one as a transmitter would: the receiver measures the round trip.
    last = pings[-1]
    fake_tx.sendto(MAGIC + bytes([7, 0x02, 0, 0]) + last[8:16] + bytes(16) + last[16:32], r_addr(r))
    time.sleep(0.2)
    c = r.stop()
    assert c["ping_replies"] == 1 and c["answered"] == 1
    assert c["info_requests"] == 1 and c["info_sent"] == 2


def r_addr(r):
    return ("127.0.0.1", r.ports[0])


# -- at the far end of tesseltx ------------------------------------------------------------


class Tunnel:
    """tsgen -> tesseltx -> tesselrx on loopback; the input stream is also kept as a file."""

    def __init__(self, tmp_path, rx_out_args, k=4, rate_kbps=2000, latency=300, rx_args=(), tx_args=(),
                 stdout=None):
        tx = program("tesseltx")
        self.tsgen = program("tsgen")
        self.tmp = tmp_path
        self.rx = Receiver(program("tesselrx"), *rx_out_args, *rx_args, ports=k, latency=latency,
                           out=str(tmp_path), stdout=stdout)
        self.in_port = free_udp_ports()[0]
        self.tx_err = open(tmp_path / "tx.log", "w+")
        # -k before -d so that the output rotates over the range; -e after it caps that output.
        self.tx = popen([tx, "-s", "127.0.0.1:%d" % self.in_port, "-k", str(k), "-d",
                                    "127.0.0.1:%d" % self.rx.ports[0], "-e", str(rate_kbps * 3 // 2 + 1000),
                                    "-o", "500", *tx_args], stderr=self.tx_err)
        deadline = time.monotonic() + 10
        while "starting" not in self.tx_log():
            assert self.tx.poll() is None and time.monotonic() < deadline, self.tx_log()
            time.sleep(0.02)
        self.rate = rate_kbps

    def tx_log(self):
        self.tx_err.seek(0)
        return self.tx_err.read()

    def send(self, seconds, seed=1):
        infile = self.tmp / "in.ts"
        r = subprocess.run([self.tsgen, "-r", str(self.rate), "-t", str(seconds), "-S", str(seed), "-d",
                            "127.0.0.1:%d" % self.in_port, "-w", str(infile)], capture_output=True, text=True,
                           timeout=seconds * 3 + 30)
        assert r.returncode == 0, r.stderr
        return infile.read_bytes()

    def stop(self, settle=1.0):
        time.sleep(settle)  # latency and the last packets in flight
        counters = self.rx.stop()
        self.tx.send_signal(signal.SIGTERM)
        self.tx.wait(timeout=10)
        return counters


def test_tunnel_delivers_file_byte_identical_numbered_from_1(tmp_path):
    t = Tunnel(tmp_path, ["-w", str(tmp_path / "out.ts")], rx_args=["-N", "9"], tx_args=["-N", "3", "-C", "alpha"])
    sent = t.send(2)
    c = t.stop()
    assert (tmp_path / "out.ts").read_bytes() == sent
    slices = len(sent) // 1316
    assert c["first"] == 1 and c["highest"] == slices and c["received"] == slices
    assert c["lost"] == 0 and c["malformed"] == 0 and c["wrong_magic"] == 0
    assert c["answered"] > 0  # the transmitter answers pings
    assert "RX info: HA3: alpha, rx0: (none)" in log_texts(t.rx.log())
    assert any(re.match(r"\[0\] RX info: HA9: ", line) for line in log_texts(t.tx_log()))


def test_tunnel_to_standard_output(tmp_path):
    with open(tmp_path / "stdout.ts", "wb") as sink:
        t = Tunnel(tmp_path, ["-w", "-"], k=1, stdout=sink)
        sent = t.send(1, seed=5)
        t.stop()
    assert (tmp_path / "stdout.ts").read_bytes() == sent


def test_tunnel_to_udp_one_datagram_per_slice(tmp_path):
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sink.bind(("127.0.0.1", 0))
    t = Tunnel(tmp_path, ["-d", "127.0.0.1:%d" % sink.getsockname()[1]], k=2)
    sent = t.send(1, seed=7)
    t.stop()  # the receiver plays out everything still waiting before it ends
    got = collect(sink, 0.3)
    sink.close()
    assert all(len(g) == 1316 for g in got)
    assert b"".join(got) == sent


def test_tunnel_carries_20_mbits_for_10_s_byte_identical(tmp_path):
    t = Tunnel(tmp_path, ["-w", str(tmp_path / "out.ts")], rate_kbps=20000, latency=500)
    sent = t.send(10, seed=20)
    c = t.stop(settle=1.5)
    assert len(sent) >= 20000 * 1000 * 10 // 8
    assert c["received"] == len(sent) // 1316 and c["lost"] == 0
    assert (tmp_path / "out.ts").read_bytes() == sent


@pytest.mark.parametrize("version", ["5", "6"])
def test_tunnel_in_older_protocol_versions(tmp_path, version):
    flag = "-" + version
    t = Tunnel(tmp_path, ["-w", str(tmp_path / "out.ts")], k=2, rx_args=[flag], tx_args=[flag])
    sent = t.send(1, seed=int(version))
    c = t.stop(settle=0.8)
    assert (tmp_path / "out.ts").read_bytes() == sent
    assert c["wrong_version"] == 0 and c["answered"] > 0
    # Version 5 peers send no description unasked, and neither does the receiver.
    assert (c["info_requests"] == 0) == (version == "5")
    assert (c["info_sent"] == 0) == (version == "5")
