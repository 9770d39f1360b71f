"""Instructions per slice on both architectures: the host's x86-64 programs under valgrind's
callgrind, the target's mipsel programs under qemu-mipsel with an instruction-counting plugin.
Each figure is the difference of two runs that carry N1 and N2 slices, divided by N2 - N1, so
that start-up and shutdown cancel out; the far end of the tunnel is always the host's program.
Run through scripts/bench, which builds the release presets and the plugin first.
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


def feed(port, slices):
    subprocess.run([os.path.join(HOST, "tsgen"), "-r", "4000", "-n", str(slices), "-d", "127.0.0.1:%d" % port, "-q"],
                   timeout=300, check=True)
    time.sleep(1.5)


def transmitter(arch, slices):
    sink = free_ports(4)
    rx, _ = start([os.path.join(HOST, "tesselrx"), "-s", "127.0.0.1:%d" % sink, "-k", "4", "-o", "100", "-w",
                   "/dev/null"], "rx-%s-%d" % (arch, slices), "Listening on")
    port = free_ports(1)
    cmd, read = measured(arch, "tesseltx", ["-s", "127.0.0.1:%d" % port, "-k", "4", "-d", "127.0.0.1:%d" % sink,
                                             "-e", "10000", "-o", "300"], "tx-%s-%d" % (arch, slices))
    tx, _ = start(cmd, "tx-%s-%d" % (arch, slices), "starting")
    feed(port, slices)
    stop(tx)
    stop(rx)
    return read()


def receiver(arch, slices):
    rx_port = free_ports(4)
    cmd, read = measured(arch, "tesselrx", ["-s", "127.0.0.1:%d" % rx_port, "-k", "4", "-o", "100", "-w", "/dev/null"],
                         "rx-%s-%d" % (arch, slices))
    rx, _ = start(cmd, "rxm-%s-%d" % (arch, slices), "Listening on")
    port = free_ports(1)
    tx, _ = start([os.path.join(HOST, "tesseltx"), "-s", "127.0.0.1:%d" % port, "-k", "4", "-d",
                   "127.0.0.1:%d" % rx_port, "-e", "10000", "-o", "300"], "txf-%s-%d" % (arch, slices), "starting")
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
            a, b = run(arch, N1), run(arch, N2)
            rows[(arch, name)] = (b - a) / (N2 - N1)
            print("  %-7s %-9s %9.0f instructions per slice" % (arch, name, rows[(arch, name)]), flush=True)
    for name in ("tesseltx", "tesselrx"):
        print("  %-9s mipsel/x86-64 %.2f" % (name, rows[("mipsel", name)] / rows[("x86-64", name)]), flush=True)


if __name__ == "__main__":
    main()
