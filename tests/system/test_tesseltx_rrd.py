"""The transmitter's statistics as a real rrdcached receives them: what a run with known input
leaves in the RRD files, and how the client lives through a server that goes away or refuses."""
import errno
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from tessel_proc import Peer, needs_isolation, free_udp_ports, header, program, ts_packet, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))
from rrdcached import RrdServer, SyslogProc, free_tcp_port, need_rrdtool  # noqa: E402

V = 7


@pytest.fixture(scope="module")
def tx():
    need_rrdtool()
    return program("tesseltx")


@pytest.fixture
def server(tmp_path):
    s = RrdServer(tmp_path / "rrd")
    yield s
    s.stop()


def last(server, prefix, name):
    return server.lastupdate(prefix, name)[1]


def tx_args(tx, in_port, peer, *more):
    return [tx, "-s", "127.0.0.1:%d" % in_port, "-B", str(1 << 20), "-d", peer.dest, "-e", "100000",
            "-o", "2000"] + list(more)


def with_cc(pid, first, count, tei=False, sync=0x47):
    out = b""
    for i in range(count):
        p = bytearray(ts_packet(pid, first + i))
        p[0] = sync
        if tei:
            p[1] |= 0x80
        out += bytes(p)
    return out


def test_a_run_with_known_input_lands_in_the_files(tx, server, tmp_path):
    server.start()
    created = int(time.time()) - 2
    server.create("tx1", start=created)
    server.create("node/tx1", start=created)
    peer = Peer()
    in_port = free_udp_ports()[0]
    proc = subprocess.Popen(tx_args(tx, in_port, peer, "-f", "1", "-l", "tx1", "-r", server.address,
                                    "-p", "node", "-c", server.address),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    src = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        # The first report, with nothing counted yet, gives the rates a starting point.
        assert wait_for(lambda: server.lastupdate("tx1", "recv")[0] > created and
                        server.lastupdate("node/tx1", "recv")[0] > created, 10)
        first_report = server.lastupdate("tx1", "recv")[0]
        datagrams = [with_cc(0x100, 7 * i, 7) for i in range(10)]   # clean, continuous
        datagrams.append(with_cc(0x100, 70 + 5, 1))                   # one continuity jump
        datagrams.append(with_cc(0x200, 0, 2, tei=True))              # two flagged errors
        datagrams.append(with_cc(0x300, 0, 3, sync=0x00))             # three without sync byte
        datagrams.append(b"n" * 100)                                  # no whole TS packet
        for d in datagrams:
            src.sendto(d, ("127.0.0.1", in_port))
            time.sleep(0.01)
        peer.poll(0.5)
        assert peer.source is not None
        for i in range(3):
            peer.send(header(V, 0x11) + struct.pack("<Qqqqq", i + 1, 0, 0, 0, 0))
        # Slices 2 and 3 at their first request, then slice 2 at its second.
        peer.send(header(V, 0x10, 2) + struct.pack("<QQ", 2, 3))
        peer.poll(0.4)
        peer.send(header(V, 0x10, 1) + struct.pack("<Q", 2))
        peer.poll(0.4)
        resent = len(peer.of_type(0x01))
        parity = len(peer.of_type(0x03))
        assert resent == 3 and parity > 0

        expected = {"recv": 14, "cc": 1, "tei": 2, "sb": 3, "snt": 14, "rsnt": 3, "rsnt01": 2, "rsnt02": 1,
                    "rsnt03": 0, "ping_rcv": 3, "fec_snt": parity, "snderr": 0, "tls": 0}
        got = {}

        def settled():
            got.update({k: last(server, "tx1", k)[0] for k in ("rsnt", "ping_rcv", "fec_snt")})
            return got["rsnt"] == 3 and got["ping_rcv"] == 3 and got["fec_snt"] == parity
        assert wait_for(settled, 6, 0.3), got
        time.sleep(1.2)  # one more report, so that every file has seen the settled snapshot
        for prefix in ("tx1", "node/tx1"):
            got = {k: last(server, prefix, k)[0] for k in expected}
            assert got == expected, prefix

        stamp, q = server.lastupdate("tx1", "outq")
        assert q == [None] * 3 or (len(q) == 3 and q[1] <= q[0] <= q[2])
        assert len(last(server, "tx1", "from_kernel")) == 3
        with open("/proc/%d/status" % proc.pid) as f:
            vm = int(re.search(r"^VmSize:\s+(\d+)", f.read(), re.M).group(1))
        assert abs(last(server, "tx1", "mem")[0] - vm) <= vm // 10
        assert last(server, "tx1", "cpu")[0] > 0 and last(server, "tx1", "sel")[0] > 10

        # The counters are totals; the files turn them into per-second rates whose sum over
        # the run is what arrived after the first report.
        rows = server.fetch("tx1", "recv", first_report, stamp)
        assert sum(v[0] for _, v in rows if v[0] is not None) == pytest.approx(14, abs=0.01)

        # The graphs of the run, drawn from what the running daemon holds.
        out = tmp_path / "png"
        script = os.path.join(os.environ.get("TESSEL_SOURCE", "../.."), "scripts", "rrd-graph")
        r = subprocess.run([script, "tx1", str(out), "--start", str(first_report), "--end", str(stamp),
                            "--daemon", server.address, "--base", server.base],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        names = ["rates", "resends", "queues", "errors", "cpu"]
        assert r.stdout.split() == [str(out / (n + ".png")) for n in names]
        for n in names:
            assert (out / (n + ".png")).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
        src.close()
        peer.close()


def rrd_lines(texts, port):
    tag = "Rrd (127.0.0.1:%d): " % port
    return [t[len(tag):] for t in texts if t.startswith(tag)]


@needs_isolation
def test_server_killed_and_restarted_mid_run(tx, server, tmp_path):
    server.start()
    created = int(time.time()) - 2
    server.create("tx1", start=created)
    peer = Peer()
    run = SyslogProc(tx_args(tx, free_udp_ports()[0], peer, "-l", "tx1", "-r", server.address), tmp_path / "log")
    try:
        assert wait_for(lambda: server.lastupdate("tx1", "sel")[0] > created, 10)
        server.stop()
        stopped = time.time()

        def refused():
            return [r for r in run.drain() if "Connecting error" in r[2]]
        assert wait_for(refused, 5)
        refused_at = refused()[0][0]
        server.start()
        assert wait_for(lambda: [r for r in run.drain() if r[0] > refused_at and "Connected successfully" in r[2]],
                        20)
        back_at = [r[0] for r in run.records if r[0] > refused_at and "Connected successfully" in r[2]][0]
        assert 9.0 < back_at - refused_at < 15, "one back-off of 10 s, then at once"
        assert wait_for(lambda: server.lastupdate("tx1", "sel")[0] > stopped + 1, 5), "reports go on"
        lines = rrd_lines(run.texts(), server.port)
        assert lines[:3] == ["Initialising.", "Connecting...", "Connected successfully"]
        assert lines[-3:] == ["Connection closed.", "Connecting...", "Connected successfully"]
        # How the going server ends the connection, and whether one more attempt still reaches
        # it, depends on its shutdown order; the back-off happens exactly once.
        middle = lines[3:-3]
        assert re.fullmatch(r"Disconnecting: .*\.", middle[0]), middle
        assert len([m for m in middle if m.endswith("Disabling for 10 seconds.")]) == 1, middle
        assert set(re.sub(r":.*", "", m) for m in middle) <= {
            "Disconnecting", "Connection closed.", "Connecting...", "Connected successfully", "Connecting error",
            "Unable to connect"}, middle
        assert run.proc.poll() is None
    finally:
        run.stop()
        peer.close()


@needs_isolation
def test_a_refusing_server_costs_one_line_every_10_s_and_nothing_else(tx, tmp_path):
    port = free_tcp_port()  # nobody listens
    peer = Peer()
    in_port = free_udp_ports()[0]
    run = SyslogProc(tx_args(tx, in_port, peer, "-l", "tx1", "-r", "127.0.0.1:%d" % port), tmp_path / "log")
    src = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        time.sleep(0.5)
        t0 = time.monotonic()
        sent = 0
        while time.monotonic() - t0 < 14.5:
            src.sendto(b"s" * 188, ("127.0.0.1", in_port))
            sent += 1
            peer.poll(0.25)
            run.drain()
        peer.poll(0.3)
        assert run.proc.poll() is None
        errors = [r for r in run.drain() if "Connecting error" in r[2] or "Unable to connect" in r[2]]
        assert len(errors) == 2
        assert 9.5 < errors[1][0] - errors[0][0] < 12
        lines = rrd_lines(run.texts(), port)
        refusal = "Connecting error: Connection refused (%d). Disabling for 10 seconds." % errno.ECONNREFUSED
        assert lines == ["Initialising.", "Connecting...", refusal, "Connection closed.", "Connecting...", refusal]
        data = [g for g in peer.got if g[2][5] & 0x3F == 0x00]
        assert len(data) == sent, "the tunnel is not disturbed"
    finally:
        run.stop()
        src.close()
        peer.close()
