"""System calls and wake-ups per slice of both tunnel ends on loopback.

One run counts system calls with `strace -c -f` (which slows the programs, so the rate is kept
modest), another counts wake-ups as voluntary context switches of every thread, read from
/proc without tracing. Usage: bench/syscalls.py [bin folder]; BENCH_SYSCALL_RATE (Mbit/s, 100),
BENCH_SYSCALL_SECONDS (3) and BENCH_SYSCALL_PORTS (-k of both ends, 4) set the run."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import tunnel_bench as tb  # noqa: E402  (shares its start/stop helpers and the bin folder)

RATE = int(os.environ.get("BENCH_SYSCALL_RATE", "100"))
SECONDS = int(os.environ.get("BENCH_SYSCALL_SECONDS", "3"))
PORTS = os.environ.get("BENCH_SYSCALL_PORTS", "4")  # -k of both ends
WORK = tempfile.mkdtemp(prefix="tessel-syscalls.")


def wakeups(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            m = re.search(r"voluntary_ctxt_switches:\s+(\d+)", f.read())
            total += int(m.group(1)) if m else 0
    return total


def strace_total(path):
    with open(path) as f:
        text = f.read()
    m = re.search(r"^-+ -+ -+ -+ -+ -+ -+\n\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)", text, re.M) or \
        re.search(r"^\s*100\.00\s+[\d.]+\s+\d+\s+(\d+)", text, re.M)
    calls = {}
    for line in text.splitlines():
        f = line.split()
        if len(f) >= 5 and re.match(r"^[\d.]+$", f[0]) and f[-1] not in ("total",) and f[3].isdigit():
            calls[f[-1]] = int(f[3])
    return (int(m.group(1)) if m else sum(calls.values())), calls


def ends(extra_rx=(), extra_tx=()):
    rx_port, in_port = tb.free_ports(4), tb.free_ports(1)
    rx, rx_log = tb.start([os.path.join(tb.BIN, "tesselrx"), "-s", "127.0.0.1:%d" % rx_port, "-k", PORTS,
                                       "-o", "300", "-e", str(RATE * 2000), "-w", "/dev/null"] + list(extra_rx),
                          "rx", "Listening on")
    tx, tx_log = tb.start([os.path.join(tb.BIN, "tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-B",
                                       "8388608", "-k", PORTS, "-d", "127.0.0.1:%d" % rx_port, "-e",
                                       str(RATE * 2000), "-o", "300"] + list(extra_tx), "tx", "starting")
    if "-K" in extra_tx:
        tb.wait_log(rx_log, "Transmission key accepted")
    return rx, rx_log, tx, tx_log, in_port


def main():
    print("System calls and wake-ups per slice at %d Mbit/s for %d s (bin %s):" % (RATE, SECONDS, tb.BIN),
          flush=True)
    for label, erx, etx in [("clear", (), ()), ("-K", ("-K",), ("-K",))]:
        rx, rx_log, tx, tx_log, in_port = ends(erx, etx)
        w0 = {"tesseltx": wakeups(tx.pid), "tesselrx": wakeups(rx.pid)}
        sent, _, _ = tb.tsgen(RATE, in_port, SECONDS)
        time.sleep(0.5)
        w = {"tesseltx": wakeups(tx.pid) - w0["tesseltx"], "tesselrx": wakeups(rx.pid) - w0["tesselrx"]}
        tb.stop(rx, rx_log)
        tb.stop(tx, tx_log)
        print("  %-6s wake-ups per slice: tesseltx %.3f, tesselrx %.3f (%d slices)" %
              (label, w["tesseltx"] / sent, w["tesselrx"] / sent, sent), flush=True)

        # Traced from after start-up to the end of the stream (the tracer attaches to running
        # programs and detaches on SIGINT, leaving them to end as usual).
        rx, rx_log, tx, tx_log, in_port = ends(erx, etx)
        tracers = [subprocess.Popen(["strace", "-c", "-f", "-o", os.path.join(WORK, short + ".strace"), "-p",
                                     str(p.pid)], stderr=subprocess.DEVNULL)
                   for p, short in ((tx, "tx"), (rx, "rx"))]
        time.sleep(1.0)
        sent, _, _ = tb.tsgen(RATE, in_port, SECONDS)
        time.sleep(0.5)
        for t in tracers:
            t.send_signal(signal.SIGINT)
            t.wait(timeout=60)
        # Traced programs run slower and may not carry every slice: the count is per slice the
        # receiver got.
        carried = tb.counter(tb.stop(rx, rx_log), "received") or sent
        tb.stop(tx, tx_log)
        for name, short in (("tesseltx", "tx"), ("tesselrx", "rx")):
            total, calls = strace_total(os.path.join(WORK, short + ".strace"))
            top = sorted(calls.items(), key=lambda kv: -kv[1])[:6]
            print("  %-6s %s: %.2f system calls per slice (%d of %d slices carried while traced): %s" %
                  (label, name, total / carried, carried, sent,
                   ", ".join("%s %.2f" % (k, v / carried) for k, v in top)), flush=True)


if __name__ == "__main__":
    try:
        main()
    finally:
        tb.end_all()
