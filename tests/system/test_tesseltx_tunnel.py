"""The transmitter's tunnel seen from the far end: what goes on the wire, in which order, to
which ports, at which pace, and how it answers what a receiver sends."""
import os
import re
import struct
import subprocess
import time

import pytest

from tessel_proc import (TX_READY, LoggedPopen, Peer, free_udp_ports, header, log_texts, needs_isolation, program,
                         ts_packet)

TX_VERSION = 7


@pytest.fixture(scope="module")
def tx():
    return program("tesseltx")


class Tunnel:
    """tesseltx started against Peers, with a UDP source for its input."""

    def __init__(self, tx, peers, *options, before=(), private_tmp=None):
        import socket
        self.in_port = free_udp_ports()[0]
        args = [tx, "-s", "127.0.0.1:%d" % self.in_port, "-B", str(4 << 20)] + list(before)
        for p in peers:
            args += ["-d", p.dest]
        args += list(options)
        if private_tmp is not None:
            # Other suites' transmitters write the same dump file; this one writes a file of its
            # own mounted over that path (only the file: the program itself may live under /tmp).
            dump = "/tmp/tuninfo-tesseltx.txt"
            (private_tmp / "tuninfo-tesseltx.txt").touch()
            args = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    'touch %s && mount --bind "$0"/tuninfo-tesseltx.txt %s && exec "$@"' % (dump, dump),
                    str(private_tmp)] + args
        self.proc = LoggedPopen(args, ready=TX_READY)
        self.src = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.peers = peers

    def feed(self, datagrams, gap=0.0):
        for d in datagrams:
            self.src.sendto(d, ("127.0.0.1", self.in_port))
            if gap:
                time.sleep(gap)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        out, err = self.proc.communicate(timeout=10)
        self.src.close()
        for p in self.peers:
            p.close()
        return self.proc.returncode, out, err


def data_packets(peer):
    return [g for g in peer.got if g[2][5] & 0x3F in (0x00, 0x01)]


def slice_of(pkt):
    """(seq, time_sec, time_nsec, size, encrypted, ts bytes) of a data packet's slice image."""
    off = 32 if pkt[5] & 0x40 else 24
    seq, sec, nsec = struct.unpack_from("<Qqq", pkt, off)
    flags = pkt[off + 24]
    n = flags & 0x7F
    return seq, sec, nsec, n, flags >> 7, pkt[off + 25: off + 25 + 188 * n]


def test_slices_numbered_from_1_with_exact_layout(tx):
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000")
    stream7 = b"".join(ts_packet(0x100, i) for i in range(7))
    stream5 = b"".join(ts_packet(0x101, i, fill=0xAB) for i in range(5))
    t.feed([b"x" * 100, b"", stream7, stream5 + b"y" * 60], gap=0.02)
    peer.poll(0.5)
    t.stop()
    pkts = [g[2] for g in data_packets(peer)]
    assert [len(p) for p in pkts] == [52, 1368, 992]
    slices = [slice_of(p) for p in pkts]
    assert [s[0] for s in slices] == [1, 2, 3]
    assert [s[3] for s in slices] == [0, 7, 5]
    assert slices[1][5] == stream7
    assert slices[2][5] == stream5
    for p in pkts:
        assert p[:8] == header(TX_VERSION, 0x00, p[6], p[7])
        dep_sec, dep_nsec = struct.unpack_from("<qq", p, 8)
        assert 0 <= dep_nsec < 1_000_000_000
    for s, p in zip(slices, pkts):
        assert 0 <= s[2] < 1_000_000_000 and s[4] == 0
        # the slice's arrival is never after the packet's departure
        assert (s[1], s[2]) <= struct.unpack_from("<qq", p, 8)


def test_fec_layout_carries_stream_position_and_parity(tx):
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-f", "1")
    t.feed([b"".join(ts_packet(0x100, i) for i in range(3)), b"z" * 10], gap=0.02)
    peer.poll(0.5)
    t.stop()
    pkts = [g[2] for g in peer.got if g[2][5] & 0x3F in (0x00, 0x03)]
    assert [(p[5], len(p)) for p in pkts] == [(0x40, 624), (0x43, 624), (0x40, 60), (0x43, 624)]
    positions = [struct.unpack_from("<Q", p, 24)[0] for p in pkts]
    assert positions == [0, 1, 2, 3]
    # With groups of two the parity is the data packet's own image, zero-extended.
    assert pkts[1][32:] == pkts[0][32:]
    assert pkts[3][32:60] == pkts[2][32:60] and pkts[3][60:] == bytes(624 - 60)
    assert pkts[3][6] == 3  # largest slice seen so far


@pytest.mark.parametrize("k_first", [True, False])
def test_port_rotation_follows_k_given_before_d(tx, k_first):
    peer = Peer(4)
    before = ["-k", "4"] if k_first else []
    after = [] if k_first else ["-k", "4"]
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "5000", *after, before=before)
    t.feed([b"x" * 188] * 9, gap=0.01)
    peer.poll(0.5)
    t.stop()
    # Arrival order across sockets is not observable; the slice numbers give the send order.
    data = sorted(data_packets(peer), key=lambda g: slice_of(g[2])[0])
    assert [slice_of(g[2])[0] for g in data] == list(range(1, 10))
    ports = [g[1] - peer.ports[0] for g in data]
    described = [g[1] - peer.ports[0] for g in peer.of_type(0x20)]
    if k_first:
        assert described[0] == 0, "the description is the first datagram"
        assert ports == [1, 2, 3, 0, 1, 2, 3, 0, 1]
    else:
        assert set(ports) == {0} and set(described) == {0}


def test_every_output_carries_the_whole_stream_except_backups(tx):
    peers = [Peer(), Peer(), Peer()]
    t = Tunnel(tx, peers, "-e", "100000", "-o", "5000", before=["-b"])
    t.feed([bytes([i]) * 188 for i in range(20)], gap=0.005)
    for p in peers:
        p.poll(0.2)
    peers[0].poll(0.3)
    t.stop()
    assert [slice_of(g[2])[0] for g in data_packets(peers[0])] == list(range(1, 21))
    for p in peers[1:]:
        assert data_packets(p) == []
        assert p.of_type(0x20), "a standby output still describes itself"

    peers = [Peer(), Peer()]
    t = Tunnel(tx, peers, "-e", "100000")
    t.feed([bytes([i]) * 188 for i in range(20)], gap=0.005)
    time.sleep(0.3)
    for p in peers:
        p.poll(0.3)
    t.stop()
    for p in peers:
        assert [slice_of(g[2])[0] for g in data_packets(p)] == list(range(1, 21))


def test_protocol_5_sends_only_on_the_first_output(tx):
    peers = [Peer(), Peer()]
    t = Tunnel(tx, peers, "-e", "100000", "-5")
    t.feed([b"q" * 188] * 5, gap=0.005)
    time.sleep(0.3)
    for p in peers:
        p.poll(0.2)
    t.stop()
    assert len(data_packets(peers[0])) == 5
    assert peers[1].got == []
    assert peers[0].of_type(0x20) == [], "version 5 sends no description unasked"


def test_pacing_holds_the_cap(tx):
    peer = Peer()
    # 10528 kbit/s: 1000 slices a second.
    t = Tunnel(tx, [peer], "-e", "10528", "-o", "4000")
    t.feed([b"p" * 1316] * 2500)
    peer.poll(2.2)
    t.stop()
    times = [g[0] for g in data_packets(peer)]
    assert len(times) > 500
    rate = (len(times) - 1) / (times[-1] - times[0])
    assert 700 < rate < 1300, rate


def test_overrun_of_an_active_output_ends_the_process(tx):
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "1053")  # 100 slices a second against a 4096-slot ring
    t.feed([b"o" * 188] * 5000)
    try:
        t.proc.wait(timeout=10)
    finally:
        rc, out, err = t.stop()
    assert rc == 0
    msg = log_texts(err)[-1]
    assert re.fullmatch(r"Main buffer overrun for tr0 \(4096 slices exhausted from (\d+) to (\d+)\)! "
                        r"Please check channel bandwidth\. Exiting!", msg), msg
    first, nxt = map(int, re.findall(r"\d+", msg.split("from")[1]))
    assert nxt == first + 4096


def test_description_goes_first_with_tlvs_in_order(tx):
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "5000", "-N", "259", "-E", "5", "-C", "alpha", "-D", "hello")
    t.feed([b"d" * 188], gap=0.01)
    peer.poll(0.4)
    t.stop()
    first = peer.got[0][2]
    body = bytes([1, 1, 3, 3, 1, 5, 2, 5]) + b"alpha" + bytes([4, 5]) + b"hello"
    assert first == header(TX_VERSION, 0x20, len(body), 0) + body
    assert len(data_packets(peer)) == 1


@needs_isolation
def test_answers_pings_and_descriptions_and_dumps_the_peer(tx, tmp_path):
    dump = tmp_path / "tuninfo-tesseltx.txt"
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "5000", "-N", "1", private_tmp=tmp_path)
    peer.poll(0.3)  # the unasked description tells the peer where the transmitter is
    assert peer.source is not None
    peer.got.clear()
    ping = header(TX_VERSION, 0x11) + struct.pack("<Qqqqq", 42, 11, 22, 0, 0)
    peer.send(ping)
    body = bytes([1, 1, 7, 2, 4]) + b"beta" + bytes([3, 1, 2, 4, 7]) + b"far end"
    peer.send(header(TX_VERSION, 0x20, len(body), 0) + body)
    peer.poll(0.4)
    rc, out, err = t.stop()
    kinds = [g[2][5] for g in peer.got]
    assert kinds[:2] == [0x02, 0x21], "ping reply first, then the description as a reply"
    reply = peer.got[0][2]
    assert len(reply) == 48 and reply[:8] == header(TX_VERSION, 0x02)
    seq, _, _, src_sec, src_nsec = struct.unpack_from("<Qqqqq", reply, 8)
    assert (seq, src_sec, src_nsec) == (42, 11, 22)
    assert "[0] RX info: HA7: beta, rx2: far end" in log_texts(err)
    with open(dump) as f:
        assert f.read() == "node_no: 7\ncluster_name: beta\nendpoint_no: 2\ndescription: far end\n"


@pytest.mark.parametrize("datagram,line", [
    (b"\x20\x47\x21\x48" + bytes([7, 0x11, 0, 0]) + bytes(40), "[0] Wrong MAGIC!"),
    (header(6, 0x11) + bytes(40), "[0] Wrong protocol version 6 (7 required) 11"),
    (header(7, 0x00) + bytes(60), "[0] Unknown command type: 0x00 (0x00) proto version 0x07 "),
    (header(7, 0x23) + bytes(60), "[0] Unknown command type: 0x23 (0x23) proto version 0x07 "),
    (header(7, 0x22) + bytes(20), "[0] Public key received, but encryption is not enabled."),
])
def test_rejected_datagrams_are_logged_and_unanswered(tx, datagram, line):
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "5000")
    peer.poll(0.3)
    peer.got.clear()
    peer.send(datagram)
    peer.poll(0.3)
    rc, out, err = t.stop()
    assert line in log_texts(err)
    assert peer.got == []
