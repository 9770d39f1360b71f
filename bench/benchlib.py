"""Helpers shared by the bench scripts (each imports this module from its own directory)."""
import os
import socket

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """CPU time of process `pid` so far, user and system, all threads. /proc/<pid>/stat counts
    whole clock ticks (10 ms: a fifth of a second per GB in a short run at 50 Mbit/s); the threads'
    own schedstat counts nanoseconds but forgets threads that have ended. The larger of the two
    is the precise figure while no thread has ended, and the coarse one otherwise."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    coarse = (int(fields[11]) + int(fields[12])) / TICK
    fine = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                fine += int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return coarse  # a thread went away while being read, or no schedstat here
    return max(coarse, fine / 1e9)


def free_ports(count):
    """The first of `count` consecutive UDP ports on 127.0.0.1 that were all free a moment ago
    (a program about to listen on them may still race another process for them)."""
    while True:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        base = s.getsockname()[1]
        s.close()
        if base + count > 65536:
            continue
        held = []
        try:
            for p in range(base, base + count):
                t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                held.append(t)
                t.bind(("127.0.0.1", p))
            return base
        except OSError:
            pass
        finally:
            for t in held:
                t.close()
