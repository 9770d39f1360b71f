"""Helpers shared by the bench scripts (each imports this module from its own directory)."""
import socket


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
