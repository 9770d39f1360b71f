"""The tunnel through a wall clock set forward an hour and back an hour while the stream runs:
both ends run under libfaketime with the monotonic clock left alone, the statistics go to a real
rrdcached. The stream arrives byte for byte and on pace, and the RRD files keep taking updates
within a few seconds of each step (a report stamped earlier than the file's last update would
be refused)."""
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

from tessel_proc import free_udp_ports, program, wait_for
from test_tesselrx import end_processes, popen  # noqa: F401 (end_processes: autouse)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fixtures"))
from rrdcached import RrdServer, need_rrdtool  # noqa: E402

RATE = 2000  # kbit/s
LATENCY = 300  # ms
SLICE = 1316
HOUR = 3600
FAKETIME_LIBS = ["/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                 "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1"]


def host_binary(path):
    """A program of this machine's own architecture, which a preload library can reach (not a
    wrapper that runs a foreign one under an emulator)."""
    with open(path, "rb") as f:
        head = f.read(20)
    if head[:4] != b"\x7fELF":
        return False
    with open(sys.executable, "rb") as f:
        ours = f.read(20)
    return head[18:20] == ours[18:20]


def sanitizer_runtime(path):
    """The AddressSanitizer runtime a program links, which must come first among preloads."""
    r = subprocess.run(["ldd", path], capture_output=True, text=True, timeout=30)
    for line in r.stdout.splitlines():
        name, _, rest = line.strip().partition(" => ")
        if name.startswith("libasan.so"):
            return rest.split(" (")[0]
    return None


@pytest.fixture
def faketime(tmp_path):
    lib = next((p for p in FAKETIME_LIBS if os.path.exists(p)), None)
    if lib is None:
        pytest.fail("cannot run: libfaketime is not installed (Debian package faketime)")
    for name in ("tesseltx", "tesselrx"):
        if not host_binary(program(name)):
            pytest.fail("cannot run: a preload library cannot reach an emulated %s" % name)
    rc = tmp_path / "faketime.rc"
    rc.write_text("+0\n")
    preload = [sanitizer_runtime(program("tesseltx")), lib]
    env = dict(os.environ, LD_PRELOAD=" ".join(p for p in preload if p), FAKETIME_TIMESTAMP_FILE=str(rc),
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1")
    # The preload must take, or the test would prove nothing.
    probe_env = dict(env, LD_PRELOAD=lib, FAKETIME_TIMESTAMP_FILE="", FAKETIME="+1d")
    probe = subprocess.run(["date", "+%s"], env=probe_env, capture_output=True, text=True, timeout=10)
    if not probe.stdout.strip().isdigit() or abs(int(probe.stdout) - time.time() - 86400) > 60:
        pytest.fail("cannot run: libfaketime does not take here: " + probe.stdout + probe.stderr)

    def step(offset):
        tmp = rc.with_suffix(".new")
        tmp.write_text("%+d\n" % offset)
        os.replace(tmp, rc)  # never a half-written file for a reader
    return env, step


class Sink:
    """The receiver's UDP output, each datagram with the monotonic time it arrived."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.got = []
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def run(self):
        while self.running:
            try:
                d = self.sock.recv(4096)
            except socket.timeout:
                continue
            self.got.append((time.monotonic(), d))

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)
        self.sock.close()


@pytest.mark.parametrize("steps", [(("back", -HOUR), ("forward", 0)), (("forward", HOUR), ("back", 0))],
                         ids=["back-then-forward", "forward-then-back"])
def test_stream_and_statistics_through_the_wall_clock_set_back_and_forward_an_hour(tmp_path, faketime, steps):
    need_rrdtool()
    env, step = faketime
    server = RrdServer(tmp_path / "rrd").start()
    try:
        created = int(time.time()) - 2
        server.create("tx1", start=created)
        sink = Sink()
        rx_ports = free_udp_ports(4, consecutive=True)
        rx_err = open(tmp_path / "rx.log", "w+")
        rx = popen([program("tesselrx"), "-s", "127.0.0.1:%d" % rx_ports[0], "-k", "4", "-o", str(LATENCY),
                    "-d", "127.0.0.1:%d" % sink.port], stdout=subprocess.DEVNULL, stderr=rx_err, env=env)
        assert wait_for(lambda: "Listening on" in open(rx_err.name).read(), 10), open(rx_err.name).read()
        in_port = free_udp_ports()[0]
        # -l names the files' prefix (and sends the log to syslog, which this test does not read).
        tx = popen([program("tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-k", "4", "-d",
                    "127.0.0.1:%d" % rx_ports[0], "-e", str(RATE * 3 // 2 + 1000), "-o", "500", "-l", "tx1",
                    "-r", server.address], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        assert wait_for(lambda: server.lastupdate("tx1", "recv")[0] > created, 10), "no report arrives"

        seconds = 14
        gen = popen([program("tsgen"), "-r", str(RATE), "-t", str(seconds), "-S", "41", "-d",
                     "127.0.0.1:%d" % in_port, "-w", str(tmp_path / "in.ts")],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        began = time.monotonic()
        for what, offset in steps:
            time.sleep(3.0)
            before_stamp, before = server.lastupdate("tx1", "recv")
            stepped = time.monotonic()
            step(offset)

            def moved():
                stamp, value = server.lastupdate("tx1", "recv")
                return (stamp, value) if stamp > before_stamp + 1 and value[0] > before[0] else None
            got = wait_for(moved, 10)
            took = time.monotonic() - stepped
            assert got, "set %s: the file took no update after %d" % (what, before_stamp)
            assert took < 5, "set %s: %.1f s until the file took an update" % (what, took)
            # The stamps go on one a second from where they were, or follow the wall clock when
            # it is ahead of them (set forward: a gap in the file).
            expected = max(before_stamp + took, time.time() + offset)
            assert abs(got[0] - expected) < 5, (what, before_stamp, got[0], time.time() + offset)

        assert gen.wait(timeout=seconds * 3 + 30) == 0, gen.stderr.read()
        ended = time.monotonic()
        time.sleep(1.0 + LATENCY / 1000)
        rx.send_signal(15)
        rx.wait(timeout=20)
        tx.send_signal(15)
        tx.wait(timeout=10)
        sink.stop()

        sent = (tmp_path / "in.ts").read_bytes()
        assert len(sent) > seconds * RATE * 1000 // 8 * 9 // 10
        assert b"".join(d for _, d in sink.got) == sent
        # On pace through both steps: played at the input's rate with no stall or burst.
        times = [t for t, _ in sink.got if began + 1 < t < ended - 0.5]
        per_second = RATE * 1000 / 8 / SLICE
        span = times[-1] - times[0]
        stall = max(b - a for a, b in zip(times, times[1:]))
        seconds_off = [a for a in range(int(span))
                       if abs(sum(1 for t in times if times[0] + a <= t < times[0] + a + 1) - per_second)
                       > per_second / 4]
        assert stall < 0.2, "the play-out stalled for %.3f s" % stall
        assert len(times) == pytest.approx(per_second * span, rel=0.1)
        assert seconds_off == [], "seconds of the play-out off the input's rate"
    finally:
        server.stop()
