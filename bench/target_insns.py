"""Instructions per slice on both architectures: the host's x86-64 programs under valgrind's
callgrind, the target's mipsel programs under qemu-mipsel with an instruction-counting plugin.
Each figure is the difference of two runs that carry N1 and N2 slices, divided by N2 - N1, so
that start-up and shutdown cancel out; the far end of the tunnel is always the host's program.
The transmitter is counted in clear and with -K on both ends (AES-128: what encrypting a slice
adds there; decrypting is the same work). The receiver is counted in clear only: with -K it makes
its RSA key in the counted process, and the prime search varies by more than the stream costs. Run through scripts/bench, which
builds the release presets and the plugin first.
    target_insns.py HOST_BIN MIPSEL_BIN PLUGIN SYSROOT"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from benchlib import free_ports

HOST, TARGET, PLUGIN, SYSROOT = sys.argv[1:5]
N1, N2 = 500, 1500
WORK = tempfile.mkdtemp(prefix="tessel-insns.")


def start(args, name, ready):
    log = open(os.path.join(WORK, name + ".log"), "w+")
    p = subprocess.Popen(args, stdout=log, stderr=log)
    deadline = time.monotonic() + 60
    while True:
        log.seek(0)
        if ready in log.read():
            return p, log
        if p.poll() is not None or time.monotonic() > deadline:
            p.kill()
            log.seek(0)
            raise RuntimeError("%s did not start: %s" % (name, log.read()))
        time.sleep(0.05)


def stop(p):
    p.send_signal(signal.SIGTERM)
    p.wait(timeout=120)


def measured(arch, prog, args, tag):
    """The command that runs `prog` counted, and a function that reads the count afterwards."""
    out = os.path.join(WORK, tag + ".count")
    if arch == "x86-64":
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, os.path.join(HOST, prog)] + args

        def read():
            with open(out) as f:
                m = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
            return int(m.group(1))
    else:
        cmd = ["qemu-mipsel", "-plugin", "%s,out=%s" % (PLUGIN, out), "-L", SYSROOT, os.path.join(TARGET, prog)] + args

        def read():
            with open(out) as f:
                return int(f.read())
    return cmd, read


def keyed(log):
    """Waits until the receiver whose log this is has taken the transmitter's key."""
    deadline = time.monotonic() + 300  # RSA key generation under the emulator is slow
    while time.monotonic() < deadline:
        log.seek(0)
        if "Transmission key accepted" in log.read():
            return
        time.sleep(0.1)
    raise RuntimeError("no key exchange")


def feed(port, slices):
    subprocess.run([os.path.join(HOST, "tsgen"), "-r", "4000", "-n", str(slices), "-d", "127.0.0.1:%d" % port, "-q"],
                   timeout=300, check=True)
    time.sleep(1.5)


def transmitter(arch, slices, extra):
    sink = free_ports(4)
    rx, rx_log = start([os.path.join(HOST, "tesselrx"), "-s", "127.0.0.1:%d" % sink, "-k", "4", "-o", "100", "-w",
                        "/dev/null"] + extra, "rx-%s-%d%s" % (arch, slices, "".join(extra)), "Listening on")
    port = free_ports(1)
    tag = "tx-%s-%d%s" % (arch, slices, "".join(extra))
    cmd, read = measured(arch, "tesseltx", ["-s", "127.0.0.1:%d" % port, "-k", "4", "-d", "127.0.0.1:%d" % sink,
                                             "-e", "10000", "-o", "300"] + extra, tag)
    tx, _ = start(cmd, tag, "starting")
    if extra:
        keyed(rx_log)
    feed(port, slices)
    stop(tx)
    stop(rx)
    return read()


def receiver(arch, slices, extra):
    rx_port = free_ports(4)
    tag = "rx-%s-%d%s" % (arch, slices, "".join(extra))
    cmd, read = measured(arch, "tesselrx", ["-s", "127.0.0.1:%d" % rx_port, "-k", "4", "-o", "100", "-w", "/dev/null"] +
                         extra, tag)
    rx, rx_log = start(cmd, "rxm" + tag[2:], "Listening on")
    port = free_ports(1)
    tx, _ = start([os.path.join(HOST, "tesseltx"), "-s", "127.0.0.1:%d" % port, "-k", "4", "-d",
                   "127.0.0.1:%d" % rx_port, "-e", "10000", "-o", "300"] + extra, "txf" + tag[2:], "starting")
    if extra:
        keyed(rx_log)
    feed(port, slices)
    stop(rx)
    stop(tx)
    return read()


def main():
    print("\nInstructions per slice, whole process, both architectures (runs of %d and %d slices; "
          "work files in %s):" % (N1, N2, WORK), flush=True)
    rows = {}
    for arch in ("x86-64", "mipsel"):
        for name, run in (("tesseltx", transmitter), ("tesselrx", receiver)):
            for label, extra in (("clear", []), ("-K", ["-K"])) if name == "tesseltx" else (("clear", []),):
                a, b = run(arch, N1, extra), run(arch, N2, extra)
                rows[(arch, name, label)] = (b - a) / (N2 - N1)
                print("  %-7s %-9s %-6s %9.0f instructions per slice" % (arch, name, label, rows[(arch, name, label)]),
                      flush=True)
    for name in ("tesseltx", "tesselrx"):
        print("  %-9s mipsel/x86-64 %.2f (clear)" % (name, rows[("mipsel", name, "clear")] / rows[("x86-64", name, "clear")]),
              flush=True)
    print("  -K adds %.0f (x86-64) and %.0f (mipsel) instructions per slice to tesseltx" %
          tuple(rows[(arch, "tesseltx", "-K")] - rows[(arch, "tesseltx", "clear")] for arch in ("x86-64", "mipsel")),
          flush=True)


if __name__ == "__main__":
    main()
