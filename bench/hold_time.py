"""How long tesseltx holds a slice: from the datagram's arrival (the slice's own time, which the
transmitter takes from the kernel's receive stamp) to the pass that sends it (the data packet's
departure time). Both are the transmitter's monotonic clock and travel in every data packet, so
a plain UDP socket standing for the receiver reads them without any clock of its own.

Percentiles per rate, clear and with -K (and -K with the CPU's AES instructions masked; both
encrypt inline on a PC, where a slice costs an XOR with a kept keystream; the AES thread, which
slower machines use, has its own test of the tick). A receiver is not needed for the stream to flow: the sink never asks
for anything. Usage: bench/hold_time.py [bin folder]; BENCH_HOLD_SECONDS (4) and BENCH_HOLD_RATES
("10 50 100") set the runs."""
import os
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(__file__))
import tunnel_bench as tb  # noqa: E402  (shares its start/stop helpers and the bin folder)

SECONDS = int(os.environ.get("BENCH_HOLD_SECONDS", "4"))
RATES = [int(r) for r in os.environ.get("BENCH_HOLD_RATES", "10 50 100").split()]
NO_AESNI = "~0x200000200000000"


def sink(sock, holds, done):
    sock.settimeout(0.5)
    while not done.is_set():
        try:
            p = sock.recv(2048)
        except socket.timeout:
            continue
        # A data packet: type 0 in the low six bits of byte 5, no FEC bit; departure time at 8,
        # the slice's own time at 32 (after its 8-byte number at 24).
        if len(p) < 52 or p[:4] != b"H!G " or (p[5] & 0x7F) != 0:
            continue
        dep_s, dep_ns = struct.unpack_from("<qq", p, 8)
        arr_s, arr_ns = struct.unpack_from("<qq", p, 32)
        holds.append((dep_s - arr_s) * 1e3 + (dep_ns - arr_ns) / 1e6)


def run(rate, extra=(), env=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 * 1024 * 1024)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    in_port = tb.free_ports(1)
    holds = []
    done = threading.Event()
    reader = threading.Thread(target=sink, args=(s, holds, done))
    reader.start()
    tx, tx_log = tb.start([os.path.join(tb.BIN, "tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-B", "8388608",
                           "-d", "127.0.0.1:%d" % port, "-e", str(rate * 2000), "-o", "300"] + list(extra),
                          "tx-hold", "starting", env)
    sent, _, _ = tb.tsgen(rate, in_port, SECONDS)
    tb.stop(tx, tx_log)
    done.set()
    reader.join()
    s.close()
    holds.sort()
    if not holds:
        return "no data packets"

    def pct(q):
        return holds[min(len(holds) - 1, int(q * len(holds)))]

    return "%6d of %6d: p50 %6.3f  p99 %6.3f  p99.9 %6.3f  max %7.3f ms" % (
        len(holds), sent, pct(0.5), pct(0.99), pct(0.999), holds[-1])


def main():
    print("Time a slice spends in tesseltx (arrival to departure), %d s per run:" % SECONDS, flush=True)
    env_masked = dict(os.environ, OPENSSL_ia32cap=NO_AESNI)
    for rate in RATES:
        for label, extra, env in [("clear", (), None), ("-K", ("-K",), None),
                                  ("-K, no AES-NI", ("-K",), env_masked)]:
            print("  %4d Mbit/s %-14s %s" % (rate, label, run(rate, extra, env)), flush=True)


if __name__ == "__main__":
    try:
        main()
    finally:
        tb.end_all()
