"""Faults around the tunnel, as processes on loopback: the receiver killed and started again
while the stream runs, the transmitter started again (a new stream from slice 1), the input
stopping and resuming. Each time the stream that reaches the receiver afterwards is byte for byte
what went in."""
import re
import signal
import subprocess
import time

import pytest

from tessel_proc import free_udp_ports, log_texts, program
from test_tesselrx import Receiver, end_processes, popen  # noqa: F401 (end_processes: autouse)

RATE = 2000  # kbit/s
LATENCY = 300  # ms


class Transmitter:
    def __init__(self, tmp_path, name, in_port, rx_port, k=4, extra=()):
        self.err = open(tmp_path / ("%s.log" % name), "w+")
        self.proc = popen([program("tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-k", str(k), "-d",
                           "127.0.0.1:%d" % rx_port, "-e", str(RATE * 3 // 2 + 1000), "-o", "500", *extra],
                          stderr=self.err)
        deadline = time.monotonic() + 10
        while "starting" not in self.log():
            assert self.proc.poll() is None and time.monotonic() < deadline, self.log()
            time.sleep(0.02)

    def log(self):
        self.err.seek(0)
        return self.err.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


def receiver(tmp_path, out_name, ports=None, extra=()):
    r = Receiver(program("tesselrx"), "-w", str(tmp_path / out_name), *extra, ports=4, latency=LATENCY,
                 out=str(tmp_path))
    assert ports is None or r.ports == ports
    return r


def receiver_on(tmp_path, out_name, ports):
    """A receiver on the given ports (those of one that was killed)."""
    r = Receiver.__new__(Receiver)
    r.ports = ports
    r.err = open(tmp_path / ("rx-%s.log" % out_name), "w+")
    r.proc = popen([program("tesselrx"), "-s", "127.0.0.1:%d" % ports[0], "-k", str(len(ports)), "-o",
                    str(LATENCY), "-w", str(tmp_path / out_name)], stdout=subprocess.DEVNULL, stderr=r.err)
    r.wait_for("Listening on")
    return r


def tsgen(tmp_path, in_port, seconds, seed, name, background=False):
    args = [program("tsgen"), "-r", str(RATE), "-t", str(seconds), "-S", str(seed), "-d",
            "127.0.0.1:%d" % in_port, "-w", str(tmp_path / name)]
    if background:
        return popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    r = subprocess.run(args, capture_output=True, text=True, timeout=seconds * 3 + 30)
    assert r.returncode == 0, r.stderr
    return (tmp_path / name).read_bytes()


def test_receiver_killed_and_restarted_picks_the_stream_up(tmp_path):
    rx1 = receiver(tmp_path, "out1.ts")
    in_port = free_udp_ports()[0]
    tx = Transmitter(tmp_path, "tx", in_port, rx1.ports[0])
    gen = tsgen(tmp_path, in_port, 7, 11, "in.ts", background=True)
    time.sleep(2.5)
    rx1.proc.kill()
    rx1.proc.wait(timeout=10)
    time.sleep(0.5)
    rx2 = receiver_on(tmp_path, "out2.ts", rx1.ports)
    assert gen.wait(timeout=60) == 0, gen.stderr.read()
    time.sleep(1.0)
    c = rx2.stop()
    tx.stop()
    sent = (tmp_path / "in.ts").read_bytes()
    out1 = (tmp_path / "out1.ts").read_bytes()
    out2 = (tmp_path / "out2.ts").read_bytes()
    assert sent.startswith(out1) and len(out1) > 0
    # From its first slice on, the new receiver plays the rest of the stream without a gap.
    assert len(out2) > len(sent) // 2 and sent.endswith(out2)
    first = c["first"]
    assert first > 32 and c["lost"] == 0 and c["late"] < 50
    assert c["requested"] < 100, "a joining receiver asks for no history"
    # The first to arrive, or a little later than slices just before it that could still play.
    firsts = [int(m.group(1)) for m in map(re.compile(r"First slice received: (\d+)$").match, log_texts(rx2.log()))
              if m]
    assert len(firsts) == 1 and 0 <= firsts[0] - first < 100


# Encrypted, the receiver's probes during the restart ask for slices the new transmitter has
# not encrypted yet; the resend waits for the worker as a new slice does.
@pytest.mark.parametrize("crypt", [(), ("-K",)], ids=["clear", "encrypted"])
def test_transmitter_restarted_the_receiver_takes_the_new_stream_from_slice_1(tmp_path, crypt):
    rx = receiver(tmp_path, "out.ts", extra=crypt)
    in_port = free_udp_ports()[0]
    tx1 = Transmitter(tmp_path, "tx1", in_port, rx.ports[0], extra=crypt)
    in1 = tsgen(tmp_path, in_port, 3, 21, "in1.ts")
    time.sleep(1.0)
    tx1.stop()
    tx2 = Transmitter(tmp_path, "tx2", in_port, rx.ports[0], extra=crypt)
    in2 = tsgen(tmp_path, in_port, 3, 22, "in2.ts")
    time.sleep(1.0)
    c = rx.stop()
    tx2.stop()
    assert (tmp_path / "out.ts").read_bytes() == in1 + in2
    assert c["resyncs"] == 1 and c["lost"] == 0
    # In clear nothing arrives twice; encrypted, what the new transmitter sent before its key
    # reached the receiver may come again.
    assert c["duplicates"] == 0 if not crypt else c["duplicates"] < 50
    assert any(re.match(r"Stream moved from slice %d to \d+$" % (len(in1) // 1316), line)
               for line in log_texts(rx.log())), rx.log()
    if crypt:
        assert log_texts(rx.log()).count("Transmission key accepted: AES128") == 2


def test_input_stopping_and_resuming(tmp_path):
    rx = receiver(tmp_path, "out.ts")
    in_port = free_udp_ports()[0]
    tx = Transmitter(tmp_path, "tx", in_port, rx.ports[0])
    in1 = tsgen(tmp_path, in_port, 2, 31, "in1.ts")
    time.sleep(3.0)
    alerts = [x for x in log_texts(tx.log()) if x.startswith("[0] Did not sent any data packet for")]
    assert alerts, tx.log()
    in2 = tsgen(tmp_path, in_port, 2, 32, "in2.ts")
    time.sleep(1.0)
    c = rx.stop()
    tx.stop()
    assert (tmp_path / "out.ts").read_bytes() == in1 + in2
    assert c["lost"] == 0 and c["resyncs"] == 0
