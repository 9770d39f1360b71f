"""The tunnel side by side with SRT (srt-live-transmit) and RIST (ristsender/ristreceiver),
each carrying the same tsgen stream from a UDP input to a UDP output on loopback.

For the loss runs every tunnel goes through the same udprelay, which impairs both directions
with the same seeded link model (the one tesselrx -I uses): the sender talks to the relay, the
relay to the receiver, and the receiver's answers go back through it. Figures:
  - delivered fraction and byte identity at 1, 5, 10 and 20 % random loss, in 20-datagram
    bursts with 20 ms delay, and at 10 and 20 % loss with 20 ms delay each way, all at one
    latency budget, the tunnel's receiver with its defaults (BENCH_SIDE_TESSEL_REPEAT=<ms>
    gives it -r);
  - CPU seconds per GB of stream (sender and receiver together) at 10, 50 and 100 Mbit/s, the
    processes' start-up and key exchange left out, beside a plain relay (one udprelay process
    from the input straight to the sink: about the least two tunnel ends can cost here, since the
    sender reads each datagram as the relay does and the receiver hands each one to the sink);
  - what AES-128 adds to that at 50 Mbit/s, each peer with its own encryption;
  - the highest rate carried without loss (no relay, direct);
  - bytes on the wire (both directions, UDP payloads) per payload byte.
The CPU part gives medians of BENCH_SIDE_CPU_ROUNDS (3) rounds, the AES part of
BENCH_SIDE_AES_PAIRS (5) pairs of runs, clear then encrypted; the other parts are single runs.
BENCH_SIDE_SECONDS, BENCH_SIDE_RATE, BENCH_SIDE_RATES, BENCH_SIDE_PEERS ("tessel tessel-fec srt rist") and BENCH_SIDE_PARTS ("loss wire cpu aes max")
change it. Run through scripts/bench."""
import collections
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import benchlib  # noqa: E402
from benchlib import free_ports  # noqa: E402

BIN = sys.argv[1] if len(sys.argv) > 1 else "build-release/bin"
LATENCY_MS = 500
SECONDS = int(os.environ.get("BENCH_SIDE_SECONDS", "4"))
LOSS_RATE = int(os.environ.get("BENCH_SIDE_RATE", "10"))  # Mbit/s of the loss runs
CPU_RATES = [10, 50, 100]
CPU_ROUNDS = int(os.environ.get("BENCH_SIDE_CPU_ROUNDS", "3"))
MAX_RATES = [int(r) for r in os.environ.get("BENCH_SIDE_RATES",
                                             "100 200 300 400 500 600 700 800 1000 1200 1400 1700 2000").split()]
PARTS = os.environ.get("BENCH_SIDE_PARTS", "loss wire cpu aes max").split()
PEERS = os.environ.get("BENCH_SIDE_PEERS", "tessel tessel-fec srt rist").split()
LINKS = [
    ("1% loss", "loss=1"),
    ("5% loss", "loss=5"),
    ("10% loss", "loss=10"),
    ("20% loss", "loss=20"),
    ("bursts", "burst=5:20,delay=20"),
    ("10% loss, 20 ms", "loss=10,delay=20"),
    ("20% loss, 20 ms", "loss=20,delay=20"),
]
WORK = tempfile.mkdtemp(prefix="tessel-side.")

SRT_OPTS = "latency=%d&rcvbuf=62500000&sndbuf=62500000&fc=50000" % LATENCY_MS
SRT_INPUT = "rcvbuf=4194304"
RIST_OPTS = "buffer=%d" % LATENCY_MS
# Empty: the receiver's defaults (its repeat time follows the round trip); a number: -r with it.
TESSEL_REPEAT_MS = os.environ.get("BENCH_SIDE_TESSEL_REPEAT", "")
TESSEL_FEC = "9"
# Encrypted runs (the aes part): AES-128 on every peer.
ENCRYPT = False
SRT_AES = "&passphrase=tessel-bench-secret&pbkeylen=16"
RIST_AES = ["-s", "tessel-bench-secret", "-e", "128"]
AES_RATE = 50
AES_PAIRS = int(os.environ.get("BENCH_SIDE_AES_PAIRS", "5"))

SETTINGS = {
    "tessel": "tesseltx -o %d -e <2 x rate> -B 8388608; tesselrx -o %d%s -e <2 x rate>" %
              (LATENCY_MS, LATENCY_MS, " -r " + TESSEL_REPEAT_MS if TESSEL_REPEAT_MS else ""),
    "tessel-fec": "as tessel, and tesseltx -f %s (one parity packet per %s data packets)" % (TESSEL_FEC, TESSEL_FEC),
    "srt": "srt-live-transmit (live mode) 'udp://...?%s' -> 'srt://...?%s'" % (SRT_INPUT, SRT_OPTS),
    "rist": "ristsender/ristreceiver -p 1 (main profile), 'rist://...?%s'" % RIST_OPTS,
}
# The physical reference of the CPU table: one udprelay process that reads each datagram and sends
# it on, no tunnel (its figure is that one process).
RELAY_SETTINGS = "udprelay -s <input> -d <sink> (CPU table only: one process, each datagram read and sent on)"

STARTED = []


def end_all():
    for p in STARTED:
        if p.poll() is None:
            p.kill()
            p.wait()
    STARTED.clear()


def free_port():
    return free_ports(1)


def start(args, name, ready=None, delay=0.3):
    log = open(os.path.join(WORK, name + ".log"), "w+")
    p = subprocess.Popen(args, stdout=log, stderr=log)
    STARTED.append(p)
    deadline = time.monotonic() + 20
    while ready is not None:
        log.seek(0)
        if ready in log.read():
            break
        if p.poll() is not None or time.monotonic() > deadline:
            log.seek(0)
            raise RuntimeError("%s did not start: %s" % (name, log.read()[-2000:]))
        time.sleep(0.02)
    if ready is None:
        time.sleep(delay)
        if p.poll() is not None:
            log.seek(0)
            raise RuntimeError("%s ended: %s" % (name, log.read()[-2000:]))
    return p, log


def cpu_seconds(p):
    try:
        return benchlib.cpu_seconds(p.pid)
    except OSError:
        return float("nan")


def stop(p, log):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
    log.seek(0)
    return log.read()


def counter(text, key):
    m = re.findall(r"\b%s (\d+)" % key, text)
    return int(m[-1]) if m else 0


def receiver(peer, listen_port, out_port, rate):
    if peer.startswith("tessel"):
        return start([os.path.join(BIN, "tesselrx"), "-s", "127.0.0.1:%d" % listen_port, "-o", str(LATENCY_MS),
                      *(["-r", TESSEL_REPEAT_MS] if TESSEL_REPEAT_MS else []), "-e", str(max(rate * 2000, 20000)), "-d",
                      "127.0.0.1:%d" % out_port] + (["-K"] if ENCRYPT else []), "rx-" + peer, "Listening on")
    if peer == "srt":
        return start(["srt-live-transmit", "-q", "srt://:%d?mode=listener&%s%s" % (listen_port, SRT_OPTS,
                                                                                    SRT_AES if ENCRYPT else ""),
                      "udp://127.0.0.1:%d" % out_port], "rx-srt")
    return start(["ristreceiver", "-p", "1", "-S", "0", "-v", "3", "-i",
                  "rist://@127.0.0.1:%d?%s" % (listen_port, RIST_OPTS), "-o", "udp://127.0.0.1:%d" % out_port] +
                 (RIST_AES if ENCRYPT else []), "rx-rist")


def sender(peer, in_port, to_port, rate):
    if peer.startswith("tessel"):
        args = [os.path.join(BIN, "tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-B", "8388608", "-d",
                "127.0.0.1:%d" % to_port, "-e", str(max(rate * 2000, 20000)), "-o", str(LATENCY_MS)]
        if peer == "tessel-fec":
            args += ["-f", TESSEL_FEC]
        if ENCRYPT:
            args += ["-K"]
        return start(args, "tx-" + peer, "starting")
    if peer == "srt":
        return start(["srt-live-transmit", "-q", "udp://127.0.0.1:%d?%s" % (in_port, SRT_INPUT),
                      "srt://127.0.0.1:%d?%s%s" % (to_port, SRT_OPTS, SRT_AES if ENCRYPT else "")], "tx-srt",
                     delay=0.8)
    return start(["ristsender", "-p", "1", "-S", "0", "-v", "3", "-i", "udp://127.0.0.1:%d" % in_port, "-o",
                  "rist://127.0.0.1:%d?%s" % (to_port, RIST_OPTS)] + (RIST_AES if ENCRYPT else []), "tx-rist",
                 delay=0.8)


def tsgen(rate, port, seconds, infile=None, seed=1):
    args = [os.path.join(BIN, "tsgen"), "-r", str(rate * 1000), "-t", str(seconds), "-S", str(seed), "-d",
            "127.0.0.1:%d" % port]
    if infile:
        args += ["-w", infile]
    r = subprocess.run(args, capture_output=True, text=True, timeout=seconds * 4 + 60)
    m = re.search(r"(\d+) datagrams, (\d+) bytes, ([\d.]+) s, (\d+) kbit/s", r.stderr)
    return int(m.group(1)), int(m.group(2)), int(m.group(4)) / 1000


def one_run(peer, rate, seconds, link=None, keep=True, seed=1):
    """One stream through one tunnel. Returns a dict of what happened."""
    sink_port, relay_port, rx_port, in_port = free_port(), free_port(), free_port(), free_port()
    tag = "%s-%d-%s" % (peer, rate, (link or "direct").replace(",", "_").replace("=", "").replace(":", "_"))
    outfile = os.path.join(WORK, tag + ".out") if keep else None
    infile = os.path.join(WORK, tag + ".in") if keep else None
    sink_args = [os.path.join(BIN, "udprelay"), "-s", "127.0.0.1:%d" % sink_port] + (["-w", outfile] if keep else [])
    sink, sink_log = start(sink_args, "sink", "ready")
    relay = None
    if link is not None:
        relay = start([os.path.join(BIN, "udprelay"), "-s", "127.0.0.1:%d" % relay_port, "-d",
                       "127.0.0.1:%d" % rx_port, "-I", link + ",seed=%d" % seed], "relay", "ready")
    if peer == "relay":
        rx = None
        tx = start([os.path.join(BIN, "udprelay"), "-s", "127.0.0.1:%d" % in_port, "-d", "127.0.0.1:%d" % sink_port],
                   "plain-relay", "ready")
    else:
        rx = receiver(peer, rx_port, sink_port, rate)
        tx = sender(peer, in_port, relay_port if relay else rx_port, rate)
    time.sleep(0.5)  # handshakes
    if ENCRYPT and peer.startswith("tessel"):
        deadline = time.monotonic() + 20
        while "Transmission key accepted" not in open(rx[1].name).read() and time.monotonic() < deadline:
            time.sleep(0.05)
    ends = [tx] + ([rx] if rx else [])
    cpu_before = sum(cpu_seconds(p) for p, _ in ends)  # start-up and key exchange are not the stream
    sent, nbytes, achieved = tsgen(rate, in_port, seconds, infile, seed)
    time.sleep(LATENCY_MS / 1000 + 1.5)
    cpu = sum(cpu_seconds(p) for p, _ in ends) - cpu_before
    for end in ends:
        stop(*end)
    wire = (0, 0)
    if relay:
        text = stop(*relay)
        wire = (counter(text, "bytes"), counter(text, "back_bytes"))
    got = counter(stop(sink, sink_log), "datagrams")
    result = {"sent": sent, "bytes": nbytes, "got": got, "achieved": achieved, "cpu": cpu, "wire": wire}
    if keep:
        a = open(infile, "rb").read()
        b = open(outfile, "rb").read()
        chunks_in = collections.Counter(a[i:i + 1316] for i in range(0, len(a), 1316))
        chunks_out = collections.Counter(b[i:i + 1316] for i in range(0, len(b), 1316))
        matched = sum(min(n, chunks_out[c]) for c, n in chunks_in.items())
        result["delivered"] = matched / max(1, len(a) // 1316)
        result["identical"] = a == b
        os.remove(infile)
        os.remove(outfile)
    end_all()
    return result


def main():
    print("Side by side on loopback (%d cores shared), latency budget %d ms, work files in %s" %
          (os.cpu_count(), LATENCY_MS, WORK), flush=True)
    for peer in PEERS:
        print("  %-10s %s" % (peer, SETTINGS[peer]), flush=True)
    if "cpu" in PARTS:
        print("  %-10s %s" % ("relay", RELAY_SETTINGS), flush=True)
    print("  link: udprelay -I <link>,seed=1 on both directions (bursts: 5 % of datagrams, 20 on average)",
          flush=True)

    if "loss" in PARTS:
        loss_table()
    if "wire" in PARTS:
        wire_table()
    if "cpu" in PARTS:
        cpu_table()
    if "aes" in PARTS:
        aes_table()
    if "max" in PARTS:
        max_table()


WIRE_ROWS = {}


def loss_table():
    print("\nDelivered fraction / byte-identical, %d Mbit/s for %d s through the impaired relay:" %
          (LOSS_RATE, SECONDS), flush=True)
    print("  %-30s" % "link" + "".join("%-20s" % p for p in PEERS), flush=True)
    wire_rows = WIRE_ROWS
    for name, link in LINKS:
        cells = []
        for peer in PEERS:
            try:
                r = one_run(peer, LOSS_RATE, SECONDS, link)
                cells.append("%7.3f%% %-9s" % (100 * r["delivered"], "identical" if r["identical"] else "DIFFERS"))
                if name == "5% loss":
                    wire_rows.setdefault("5% loss", {})[peer] = (sum(r["wire"]) / r["bytes"])
            except (RuntimeError, OSError, subprocess.SubprocessError) as err:
                cells.append("error: %s" % str(err)[:12])
                end_all()
        print("  %-30s" % ("%s (%s)" % (name, link)) + "".join("%-20s" % c for c in cells), flush=True)



def wire_table():
    wire_rows = WIRE_ROWS
    print("\nBytes on the wire (UDP payloads, both directions) per payload byte, %d Mbit/s:" % LOSS_RATE, flush=True)
    clean = {}
    for peer in PEERS:
        try:
            r = one_run(peer, LOSS_RATE, SECONDS, "loss=0", keep=False)
            clean[peer] = sum(r["wire"]) / r["bytes"]
        except (RuntimeError, OSError, subprocess.SubprocessError):
            end_all()
    print("  %-12s" % "clean link" + "".join("%-12s" % ("%.4f" % clean[p] if p in clean else "-") for p in PEERS) +
          "   (" + ", ".join(PEERS) + ")", flush=True)
    five = wire_rows.get("5% loss", {})
    print("  %-12s" % "5% loss" + "".join("%-12s" % ("%.4f" % five[p] if p in five else "-") for p in PEERS),
          flush=True)



def cpu_table():
    print("\nCPU seconds per GB of stream (sender + receiver; the plain relay: its one process), %d s per run,"
          " no impaired link, medians of %d rounds (each round runs every peer once, in turn):" % (SECONDS, CPU_ROUNDS),
          flush=True)
    peers = PEERS + ["relay"]
    for rate in CPU_RATES:
        figures = {p: [] for p in peers}
        lossy = set()
        for _ in range(CPU_ROUNDS):
            for peer in peers:
                try:
                    r = one_run(peer, rate, SECONDS, None, keep=False)
                    figures[peer].append(r["cpu"] / (r["bytes"] / 1e9))
                    if r["got"] != r["sent"]:
                        lossy.add(peer)
                except (RuntimeError, OSError, subprocess.SubprocessError):
                    lossy.add(peer)
                    end_all()
        cells = ["%6.2f%s" % (statistics.median(figures[p]), " (loss)" if p in lossy else "") if figures[p]
                 else "error" for p in peers]
        print("  %4d Mbit/s  " % rate + "".join("%-12s=%-10s" % (p, c) for p, c in zip(peers, cells)), flush=True)


def aes_table():
    global ENCRYPT
    print("\nWhat AES-128 adds, CPU seconds per GB of stream (sender + receiver) at %d Mbit/s, %d s per run,"
          " %d pairs of runs (clear, then encrypted), medians; the spread of the pairs' differences in brackets:" %
          (AES_RATE, 2 * SECONDS, AES_PAIRS), flush=True)
    print("  tessel: -K on both ends; srt: passphrase, pbkeylen=16; rist: -s <secret> -e 128", flush=True)
    for peer in [p for p in PEERS if p != "tessel-fec"]:
        clear, enc, ok = [], [], True
        for _ in range(AES_PAIRS):
            for encrypt in (False, True):
                ENCRYPT = encrypt
                try:
                    r = one_run(peer, AES_RATE, 2 * SECONDS, None, keep=False)
                    (enc if encrypt else clear).append(r["cpu"] / (r["bytes"] / 1e9))
                    ok = ok and r["got"] == r["sent"]
                except (RuntimeError, OSError, subprocess.SubprocessError):
                    (enc if encrypt else clear).append(float("nan"))
                    ok = False
                    end_all()
                finally:
                    ENCRYPT = False
        adds = sorted(e - c for c, e in zip(clear, enc))
        print("  %-10s clear %6.2f  encrypted %6.2f  adds %+6.2f s/GB [%+.2f .. %+.2f]%s" %
              (peer, statistics.median(clear), statistics.median(enc), statistics.median(adds), adds[0], adds[-1],
               "" if ok else "  (loss)"), flush=True)


def max_table():
    print("\nHighest rate carried without loss (no relay, %d s per step):" % SECONDS, flush=True)
    for peer in PEERS:
        best = 0
        steps = []
        for rate in MAX_RATES:
            try:
                r = one_run(peer, rate, SECONDS, None, keep=False)
            except (RuntimeError, OSError, subprocess.SubprocessError):
                end_all()
                steps.append("%d:error" % rate)
                break
            ok = r["got"] == r["sent"]
            steps.append("%d:%s" % (rate, "ok" if ok else "loss %d/%d" % (r["sent"] - r["got"], r["sent"])))
            if not ok:
                break
            if r["achieved"] < rate * 0.95:
                steps.append("(source reached %.0f)" % r["achieved"])
                best = max(best, r["achieved"])
                break
            best = rate
        print("  %-10s %5.0f Mbit/s   %s" % (peer, best, " ".join(steps)), flush=True)


if __name__ == "__main__":
    try:
        main()
    finally:
        end_all()
