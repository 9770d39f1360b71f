"""Liveness seen from the far end: pings answered, backup outputs taking over when the active
one's receiver falls silent, and the ping time-outs that re-create the socket or end the process."""
import re
import struct
import subprocess
import time

import pytest

from tessel_proc import TX_READY, LoggedPopen, Peer, free_udp_ports, header, log_texts, program


@pytest.fixture(scope="module")
def tx():
    return program("tesseltx")


def start(tx, peers, *options):
    import socket
    in_port = free_udp_ports()[0]
    args = [tx, "-s", "127.0.0.1:%d" % in_port]
    for p in peers:
        args += ["-d", p.dest]
    proc = LoggedPopen(args + list(options), ready=TX_READY)
    src = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    return proc, src, in_port


def data_seqs(peer, since=0.0):
    return [struct.unpack_from("<Q", g[2], 24)[0] for g in peer.got
            if g[0] >= since and g[2][5] & 0x3F in (0, 1)]


def run_phase(seconds, peers, pingers, src, in_port, counter):
    """Feeds the input every 20 ms and lets the pinging peers ping every 100 ms."""
    end = time.monotonic() + seconds
    next_ping = 0.0
    while time.monotonic() < end:
        src.sendto(bytes([0x47]) + bytes(187), ("127.0.0.1", in_port))
        if time.monotonic() >= next_ping:
            for p in pingers:
                if p.source is not None:
                    counter[0] += 1
                    p.send(header(7, 0x11) + struct.pack("<Qqqqq", counter[0], 1, 2, 0, 0))
            next_ping = time.monotonic() + 0.1
        for p in peers:
            p.poll(0.01)


def test_backup_moves_the_stream_when_the_active_receiver_stops_pinging(tx):
    a, b = Peer(), Peer()
    proc, src, in_port = start(tx, [a, b], "-b", "-o", "1000", "-e", "100000")
    counter = [0]
    try:
        run_phase(0.4, [a, b], [a, b], src, in_port, counter)   # both learn where to ping
        assert a.source and b.source
        t0 = time.monotonic()
        run_phase(1.0, [a, b], [a, b], src, in_port, counter)
        assert data_seqs(a, t0) and not data_seqs(b, t0), "the first output carries the stream"
        assert any(g[2][5] == 0x02 for g in b.got), "the standby output answers pings"
        t1 = time.monotonic()
        # Silence is noticed after 1.2 s; the phases leave room for a loaded machine or an emulator.
        run_phase(4.0, [a, b], [b], src, in_port, counter)       # a falls silent
        moved = data_seqs(b, t1)
        assert moved, "the stream moved to the second output"
        t2 = time.monotonic()
        run_phase(4.0, [a, b], [a], src, in_port, counter)       # b falls silent, a is back
        assert data_seqs(a, t2 + 3.0) and not data_seqs(b, t2 + 3.0)
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=10)
        src.close()
        a.close()
        b.close()
    texts = log_texts(err)
    assert any(re.fullmatch(r"Deactivating tr0 @\d+", t) for t in texts)
    assert any(re.fullmatch(r"Activating tr1 @\d+", t) for t in texts)
    assert any(re.fullmatch(r"Activating tr0 @\d+", t) for t in texts)
    # A newly active output starts at the newest slice: it does not replay the old ones.
    first_on_b = moved[0]
    assert first_on_b > 40


def test_exit_on_ping_timeout(tx):
    a = Peer()
    proc, src, in_port = start(tx, [a], "-u", "1", "-e", "100000")
    try:
        rc = proc.wait(timeout=10)
        err = proc.err()
    finally:
        proc.kill()
        src.close()
        a.close()
    assert rc == 0
    assert log_texts(err)[-1] == "Exiting on ping timeout 1s"


def test_resocket_on_ping_timeout_changes_the_source_port(tx):
    a = Peer()
    proc, src, in_port = start(tx, [a], "-U", "1", "-u", "0", "-e", "100000")
    counter = [0]
    try:
        run_phase(0.5, [a], [], src, in_port, counter)
        first_source = a.source
        run_phase(1.5, [a], [], src, in_port, counter)
        later_source = a.got[-1][3]
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=10)
        src.close()
        a.close()
    assert first_source != later_source
    assert "Recreating a socket on ping timeout 1s" in log_texts(err)


def test_pings_keep_a_timed_out_output_alive(tx):
    a = Peer()
    proc, src, in_port = start(tx, [a], "-u", "1", "-e", "100000")
    counter = [0]
    try:
        run_phase(2.5, [a], [a], src, in_port, counter)
        assert proc.poll() is None, "pings arrived in time"
    finally:
        proc.terminate()
        proc.communicate(timeout=10)
        src.close()
        a.close()


def test_protocol_5_ignores_the_ping_timeout(tx):
    a = Peer()
    proc, src, in_port = start(tx, [a], "-u", "1", "-e", "100000", "-5")
    counter = [0]
    try:
        run_phase(2.5, [a], [], src, in_port, counter)
        assert proc.poll() is None, "a version 5 receiver never pings, so the time-out does not apply"
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=10)
        src.close()
        a.close()
    assert "Exiting on ping timeout" not in err
