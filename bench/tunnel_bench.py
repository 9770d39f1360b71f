"""Process-level benchmark of the tunnel against a plain UDP relay on the same machine.

Figures, each as a ratio to the relay where that makes sense:
  - the highest input rate carried without loss (tsgen -> tesseltx -> tesselrx, against
    tsgen -> udprelay -> udprelay sink), stepping the rate up until a run loses data;
  - CPU seconds per GB of stream at one fixed rate, for each process, with -k 4 and -k 1 (medians
    of BENCH_REPEAT runs, 3);
  - CPU seconds per GB of both ends with encryption (-K, -L) at 50 Mbit/s, with and without the
    CPU's AES instructions, beside the figures of other tunnels encrypting;
  - instructions per slice of the transmitter's input and send paths and of the receiver's
    engine (valgrind --tool=callgrind), which repeat from run to run unlike times.
Run through scripts/bench, which builds the release preset first."""
import collections
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import benchlib
from benchlib import free_ports

BIN = sys.argv[1] if len(sys.argv) > 1 else "build-release/bin"
RATES_MBPS = [int(r) for r in os.environ.get("BENCH_RATES", "100 200 400 800 1200 1600 2000 2800 3600").split()]
RUN_SECONDS = int(os.environ.get("BENCH_SECONDS", "3"))
CPU_RATE_MBPS = int(os.environ.get("BENCH_CPU_RATE", "100"))
# CPU figures are medians of this many runs, taken in turn (one run of each, then again), so
# that a slow moment of the machine does not land on one side of a comparison only.
REPEAT = int(os.environ.get("BENCH_REPEAT", "3"))
WORK = tempfile.mkdtemp(prefix="tessel-bench.")


STARTED = []
DETAIL = []  # why the last run lost data, when it did


def end_all():
    """Ends whatever a failed or interrupted run left behind."""
    for p in STARTED:
        if p.poll() is None:
            p.kill()
            p.wait()


def start(args, name, ready, env=None):
    log = open(os.path.join(WORK, name + ".log"), "w+")
    p = subprocess.Popen(args, stdout=log, stderr=log, env=env)
    STARTED.append(p)
    deadline = time.monotonic() + 30
    while True:
        log.seek(0)
        if ready in log.read():
            return p, log
        if p.poll() is not None or time.monotonic() > deadline:
            log.seek(0)
            raise RuntimeError("%s did not start: %s" % (name, log.read()))
        time.sleep(0.02)


def cpu_seconds(p):
    return benchlib.cpu_seconds(p.pid)


def stop(p, log):
    p.send_signal(signal.SIGTERM)
    p.wait(timeout=60)
    log.seek(0)
    return log.read()


def tsgen(rate_mbps, port, seconds):
    r = subprocess.run([os.path.join(BIN, "tsgen"), "-r", str(rate_mbps * 1000), "-t", str(seconds), "-d",
                        "127.0.0.1:%d" % port], capture_output=True, text=True, timeout=seconds * 4 + 60)
    m = re.search(r"(\d+) datagrams, (\d+) bytes, ([\d.]+) s, (\d+) kbit/s", r.stderr)
    return int(m.group(1)), int(m.group(2)), int(m.group(4)) / 1000


def counter(log, key):
    m = re.findall(r"\b%s (\d+)" % key, log)
    return int(m[-1]) if m else 0


def wait_log(log, text, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        log.seek(0)
        if text in log.read():
            return
        if time.monotonic() > deadline:
            raise RuntimeError("no '%s' in %s" % (text, log.name))
        time.sleep(0.02)


def run_tunnel(rate_mbps, seconds, extra=(), env=None, ports=4):
    """`extra`: options of both ends (-K or -L: encrypted); `env`: environment of both; `ports`: -k of
    both ends."""
    rx_port, in_port = free_ports(4), free_ports(1)
    rx, rx_log = start([os.path.join(BIN, "tesselrx"), "-s", "127.0.0.1:%d" % rx_port, "-k", str(ports), "-o", "300",
                        "-e", str(rate_mbps * 2000), "-w", "/dev/null"] + (["-K"] if extra else []), "rx",
                       "Listening on", env)
    tx, tx_log = start([os.path.join(BIN, "tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-B", "8388608", "-k", str(ports),
                        "-d", "127.0.0.1:%d" % rx_port, "-e", str(rate_mbps * 2000), "-o", "300"] + list(extra),
                       "tx", "starting", env)
    if extra:
        wait_log(rx_log, "Transmission key accepted")
    # Start-up (the receiver's RSA key, for one) is not part of carrying the stream.
    cpu0 = {"tesseltx": cpu_seconds(tx), "tesselrx": cpu_seconds(rx)}
    sent, nbytes, achieved = tsgen(rate_mbps, in_port, seconds)
    time.sleep(1.0)
    cpu = {"tesseltx": cpu_seconds(tx) - cpu0["tesseltx"] if tx.poll() is None else float("nan"),
           "tesselrx": cpu_seconds(rx) - cpu0["tesselrx"]}
    text = stop(rx, rx_log)
    stop(tx, tx_log)
    got = counter(text, "received")
    ok = got == sent and counter(text, "lost") == 0
    if not ok:
        # Where it went: never numbered by the transmitter (highest short of what was sent), or
        # numbered and missing at the receiver (gaps).
        DETAIL.append("receiver: highest slice %d, gap slices %d, out of window %d, lost at play-out %d" %
                      (counter(text, "highest"), counter(text, "gap_slices"), counter(text, "out_of_window"),
                       counter(text, "lost")))
    return ok, got, sent, nbytes, achieved, cpu


def run_relay(rate_mbps, seconds):
    sink_port, relay_port = free_ports(1), free_ports(1)
    relay_bin = os.path.join(BIN, "udprelay")
    sink, sink_log = start([relay_bin, "-s", "127.0.0.1:%d" % sink_port], "sink", "ready")
    relay, relay_log = start([relay_bin, "-s", "127.0.0.1:%d" % relay_port, "-d", "127.0.0.1:%d" % sink_port],
                             "relay", "ready")
    sent, nbytes, achieved = tsgen(rate_mbps, relay_port, seconds)
    time.sleep(0.5)
    cpu = {"udprelay": cpu_seconds(relay)}
    stop(relay, relay_log)
    got = counter(stop(sink, sink_log), "datagrams")
    return got == sent, got, sent, nbytes, achieved, cpu


def sweep(name, run):
    best = 0
    for rate in RATES_MBPS:
        ok, got, sent, _, achieved, _ = run(rate, RUN_SECONDS)
        print("  %-8s %5d Mbit/s (source reached %7.1f): %8d of %8d datagrams %s" %
              (name, rate, achieved, got, sent, "ok" if ok else "LOSS"), flush=True)
        if not ok:
            for d in DETAIL:
                print("           " + d, flush=True)
            DETAIL.clear()
            break
        if achieved < rate * 0.95:
            print("  %-8s the source cannot go faster here; stopping the sweep" % name, flush=True)
            best = max(best, achieved)
            break
        best = rate
    return best


def callgrind(prog_args, name, feed_port, slices, functions, extra=None):
    out = os.path.join(WORK, name + ".callgrind")
    vg = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + prog_args
    p, log = start(vg, name + "-vg", extra or "starting")
    subprocess.run([os.path.join(BIN, "tsgen"), "-r", "2000", "-n", str(slices), "-d", "127.0.0.1:%d" % feed_port,
                    "-q"], timeout=120)
    time.sleep(2.0)
    stop(p, log)
    ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], capture_output=True,
                         text=True).stdout
    result = {}
    for fn in functions:
        for line in ann.splitlines():
            m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*:(\S+?)\(", line) or re.match(r"\s*([\d,]+)\s+\S*:(\S+?)\(", line)
            if m and m.group(2) == fn:
                result[fn] = int(m.group(1).replace(",", "")) / slices
                break
    return result


# The device's CPU has no AES instructions: OpenSSL is told to leave AES-NI and PCLMULQDQ alone
# (the vector-permute AES that remains is still faster than the device's plain code), and, in a
# second figure, SSSE3 as well, leaving OpenSSL's table-based AES.
NO_AESNI = "~0x200000200000000"
NO_AESNI_SSSE3 = "~0x200020200000000"


def encryption_cost():
    rate = int(os.environ.get("BENCH_AES_RATE", "50"))
    seconds = 2 * RUN_SECONDS
    print("\nEncryption, CPU seconds per GB of stream at %d Mbit/s for %d s, both ends, -k 4:" % (rate, seconds),
          flush=True)
    configs = [("clear", (), None), ("-K AES-128", ("-K",), None), ("-L AES-256", ("-L",), None),
               ("-K, no AES-NI", ("-K",), NO_AESNI), ("-L, no AES-NI", ("-L",), NO_AESNI),
               ("-K, no AES-NI/SSSE3", ("-K",), NO_AESNI_SSSE3), ("-L, no AES-NI/SSSE3", ("-L",), NO_AESNI_SSSE3)]
    runs = {label: [] for label, _, _ in configs}
    for _ in range(REPEAT):
        for label, extra, mask in configs:
            env = dict(os.environ)
            if mask:
                env["OPENSSL_ia32cap"] = mask
            ok, _, _, nbytes, _, cpu = run_tunnel(rate, seconds, extra, env)
            gb = nbytes / 1e9
            runs[label].append((cpu["tesseltx"] / gb, cpu["tesselrx"] / gb, ok))
    med = lambda xs: statistics.median(xs)  # noqa: E731
    clear = med([tx + rx for tx, rx, _ in runs["clear"]])
    for label, _, _ in configs:
        r = runs[label]
        tx, rx, both = med([a for a, _, _ in r]), med([b for _, b, _ in r]), med([a + b for a, b, _ in r])
        print("  %-20s tesseltx %6.2f + tesselrx %6.2f = %6.2f s/GB (encryption adds %+6.2f)%s" %
              (label, tx, rx, both, both - clear, "" if all(ok for _, _, ok in r) else "  LOSS"), flush=True)
    print("  (medians of %d runs each; both ends' figure is the median of the runs' sums)" % REPEAT, flush=True)
    print("  (SRT and RIST encrypting, measured in the same kind of run: bench/side_by_side.py, its aes part)",
          flush=True)


def main():
    print("Tunnel benchmark on loopback (%d cores shared; runs of %d s; work files in %s)" %
          (os.cpu_count(), RUN_SECONDS, WORK), flush=True)
    print("\nHighest input rate carried without loss:", flush=True)
    tunnel_best = sweep("tunnel", run_tunnel)
    relay_best = sweep("relay", run_relay)
    print("  tunnel %d Mbit/s, relay %d Mbit/s, ratio tunnel/relay %.2f" %
          (tunnel_best, relay_best, tunnel_best / relay_best if relay_best else float("nan")), flush=True)

    print("\nCPU seconds per GB of stream at %d Mbit/s for %d s:" % (CPU_RATE_MBPS, 2 * RUN_SECONDS), flush=True)
    # -k 4 rotates the ports, so no two datagrams in a row share one; with one port, runs of
    # equal data packets leave segmented and arrive coalesced.
    figures = collections.defaultdict(list)
    for _ in range(REPEAT):
        for ports in (4, 1):
            _, _, _, t_bytes, _, t_cpu = run_tunnel(CPU_RATE_MBPS, 2 * RUN_SECONDS, ports=ports)
            for k, v in t_cpu.items():
                figures["%s -k %d" % (k, ports)].append(v / (t_bytes / 1e9))
        _, _, _, r_bytes, _, r_cpu = run_relay(CPU_RATE_MBPS, 2 * RUN_SECONDS)
        figures["udprelay"].append(r_cpu["udprelay"] / (r_bytes / 1e9))
    per_gb = {k: statistics.median(v) for k, v in figures.items()}
    for k, v in per_gb.items():
        print("  %-15s %6.2f s/GB" % (k, v), flush=True)
    if per_gb.get("udprelay"):
        for ports in (4, 1):
            both = statistics.median([a + b for a, b in zip(figures["tesseltx -k %d" % ports],
                                                            figures["tesselrx -k %d" % ports])])
            print("  -k %d: both ends %.2f s/GB, %.2f x the relay" % (ports, both, both / per_gb["udprelay"]),
                  flush=True)
    else:
        print("  udprelay used less than one clock tick; ratios need a longer run (BENCH_SECONDS)", flush=True)
    print("  (medians of %d runs each)" % REPEAT, flush=True)

    encryption_cost()

    print("\nInstructions per slice (callgrind, 2000 slices of 7 TS packets):", flush=True)
    slices = 2000
    sink = free_ports(4)
    rx, rx_log = start([os.path.join(BIN, "tesselrx"), "-s", "127.0.0.1:%d" % sink, "-k", "4", "-o", "100", "-w",
                        "/dev/null"], "rx-for-vg", "Listening on")
    in_port = free_ports(1)
    tx_ir = callgrind([os.path.join(BIN, "tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-k", "4", "-d",
                       "127.0.0.1:%d" % sink, "-e", "10000", "-o", "300"], "tesseltx", in_port, slices,
                      ["tun_net_rx", "tr_net_tx"])
    stop(rx, rx_log)
    rx_port, fwd = free_ports(4), free_ports(1)
    # The receiver under callgrind, fed by a real transmitter.
    rx_args = [os.path.join(BIN, "tesselrx"), "-s", "127.0.0.1:%d" % rx_port, "-k", "4", "-o", "100", "-w",
               "/dev/null"]
    out = os.path.join(WORK, "tesselrx.callgrind")
    vg, vg_log = start(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + rx_args, "rx-vg",
                       "Listening on")
    tx, tx_log = start([os.path.join(BIN, "tesseltx"), "-s", "127.0.0.1:%d" % fwd, "-k", "4", "-d",
                        "127.0.0.1:%d" % rx_port, "-e", "10000", "-o", "300"], "tx-for-vg", "starting")
    subprocess.run([os.path.join(BIN, "tsgen"), "-r", "2000", "-n", str(slices), "-d", "127.0.0.1:%d" % fwd, "-q"],
                   timeout=120)
    time.sleep(2.0)
    stop(vg, vg_log)
    stop(tx, tx_log)
    ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out], capture_output=True,
                         text=True).stdout
    rx_ir = {}
    for line in ann.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*:(rx_engine_input|rx_engine_poll)\(", line) or \
            re.match(r"\s*([\d,]+)\s+\S*:(rx_engine_input|rx_engine_poll)\(", line)
        if m and m.group(2) not in rx_ir:
            rx_ir[m.group(2)] = int(m.group(1).replace(",", "")) / slices
    # The relay's whole run per datagram: its loop is all it does.
    rport, sport = free_ports(1), free_ports(1)
    sink_p, sink_log = start([os.path.join(BIN, "udprelay"), "-s", "127.0.0.1:%d" % sport], "sink-vg", "ready")
    relay_ir_file = os.path.join(WORK, "udprelay.callgrind")
    rp, rlog = start(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + relay_ir_file,
                      os.path.join(BIN, "udprelay"), "-s", "127.0.0.1:%d" % rport, "-d", "127.0.0.1:%d" % sport],
                     "relay-vg", "ready")
    subprocess.run([os.path.join(BIN, "tsgen"), "-r", "2000", "-n", str(slices), "-d", "127.0.0.1:%d" % rport, "-q"],
                   timeout=120)
    time.sleep(1.0)
    stop(rp, rlog)
    stop(sink_p, sink_log)
    ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", relay_ir_file],
                         capture_output=True, text=True).stdout
    m = re.search(r"([\d,]+)\s+\([^)]*\)\s+\S*:main\b", ann) or re.search(r"([\d,]+)\s+\S*:main\b", ann)
    relay_ir = int(m.group(1).replace(",", "")) / slices if m else float("nan")
    for fn, v in list(tx_ir.items()) + list(rx_ir.items()):
        print("  %-16s %8.0f instructions per slice" % (fn, v), flush=True)
    print("  %-16s %8.0f instructions per datagram (udprelay main loop)" % ("relay", relay_ir), flush=True)
    if tx_ir and relay_ir == relay_ir:
        total = sum(tx_ir.values())
        print("  ratio transmitter input+send / relay %.1f" % (total / relay_ir), flush=True)


if __name__ == "__main__":
    try:
        main()
    finally:
        end_all()
