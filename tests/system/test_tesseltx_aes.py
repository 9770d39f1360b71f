"""Encryption seen from the far end: the key reply checked with the openssl command line, slices
decrypted with it, no slice in clear even through loss and resends, and the reference receiver
playing the stream out byte for byte through an impaired link."""
import os
import random
import select
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from tessel_proc import Peer, free_udp_ports, header, log_texts, program, ts_packet
from test_tesselrx import Receiver, end_processes, popen, report  # noqa: F401 (end_processes: autouse)
from test_tesseltx_tunnel import Tunnel, data_packets, slice_of


@pytest.fixture(scope="module")
def tx():
    return program("tesseltx")


@pytest.fixture(scope="module")
def rsa(tmp_path_factory):
    """A 2048-bit key made by openssl, and its public half as PKCS#1 DER."""
    d = tmp_path_factory.mktemp("rsa")
    key = d / "key.pem"
    pub = d / "pub.der"
    subprocess.run(["openssl", "genrsa", "-out", str(key), "2048"], check=True, capture_output=True)
    subprocess.run(["openssl", "rsa", "-in", str(key), "-RSAPublicKey_out", "-outform", "DER", "-out", str(pub)],
                   check=True, capture_output=True)
    return key, pub.read_bytes()


def key_request(der):
    return header(7, 0x22, len(der) & 0xFF, len(der) >> 8) + der


def openssl_rsa_decrypt(key, ciphertext, tmp):
    ct = tmp / "key.bin"
    ct.write_bytes(ciphertext)
    r = subprocess.run(["openssl", "pkeyutl", "-decrypt", "-inkey", str(key), "-pkeyopt",
                        "rsa_padding_mode:pkcs1", "-in", str(ct)], check=True, capture_output=True)
    return r.stdout


def counter_block(iv, seq):
    return bytes([(iv[0] + (128 if seq & 1 else 0)) & 0xFF]) + iv[1:16]


def openssl_ctr(bits, key, block, data, tmp):
    f = tmp / "slice.bin"
    f.write_bytes(data)
    r = subprocess.run(["openssl", "enc", "-d", "-aes-%d-ctr" % bits, "-K", key.hex(), "-iv", block.hex(),
                        "-nopad", "-in", str(f)], check=True, capture_output=True)
    return r.stdout


def exchange(t, peer, der):
    """Sends a key request once the transmitter is known; returns the reply."""
    peer.poll(0.3)  # the unasked description tells where the transmitter is
    assert peer.source is not None
    peer.send(key_request(der))
    peer.poll(0.3)
    replies = peer.of_type(0x23, 0x25)
    assert len(replies) == 1
    return replies[0][2]


@pytest.mark.parametrize("options,bits", [(["-K"], 128), (["-K", "-L"], 256)])
def test_reply_and_slices_check_out_with_openssl(tx, rsa, tmp_path, options, bits):
    key_pem, der = rsa
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "100", *options)
    reply = exchange(t, peer, der)
    stream = [b"".join(ts_packet(0x100 + s, i, fill=s * 16 + i) for i in range(7)) for s in range(4)]
    t.feed(stream, gap=0.01)
    peer.poll(0.4)
    rc, out, err = t.stop()

    iv_field = 16 if bits == 128 else 32
    body = iv_field + 256
    assert len(reply) == 8 + body
    assert reply[:8] == header(7, 0x23 if bits == 128 else 0x25, body & 0xFF, body >> 8)
    iv = reply[8:8 + iv_field]
    if bits == 256:
        assert iv[16:] == bytes(16), "the IV field ends in 16 zero bytes"
    key = openssl_rsa_decrypt(key_pem, reply[8 + iv_field:], tmp_path)
    assert len(key) == bits // 8

    slices = [slice_of(g[2]) for g in data_packets(peer)]
    assert [s[0] for s in slices] == [1, 2, 3, 4]
    for seq, _, _, n, encrypted, data in slices:
        assert encrypted == 1 and n == 7
        assert data != stream[seq - 1]
        assert openssl_ctr(bits, key, counter_block(iv, seq), data, tmp_path) == stream[seq - 1]
    # Slices two apart are encrypted from the same counter block, with the same keystream.
    block = counter_block(iv, 2)
    assert block == counter_block(iv, 4) and block == iv[:16]
    ks2 = bytes(a ^ b for a, b in zip(slices[1][5], stream[1]))
    ks4 = bytes(a ^ b for a, b in zip(slices[3][5], stream[3]))
    assert ks2 == ks4

    texts = log_texts(err)
    for line in ["AES%d Encryption Initialised" % bits, "AES thread started", "[0] Public key received.",
                 "Encrypted transmission key ready AES%d (%d/%d bytes)" % (bits, bits // 8, body),
                 "[0] Transmission key sent."]:
        assert line in texts


def keystreams(bits, key, iv, tmp):
    """The only two keystreams there are: even and odd slice numbers."""
    return [openssl_ctr(bits, key, counter_block(iv, s), bytes(1316), tmp) for s in (0, 1)]


def test_no_slice_in_clear_through_loss_and_resends(tx, rsa, tmp_path):
    key_pem, der = rsa
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "100", "-K")
    reply = exchange(t, peer, der)
    key = openssl_rsa_decrypt(key_pem, reply[24:], tmp_path)
    ks = keystreams(128, key, reply[8:24], tmp_path)

    count = 3000
    stream = {s: os.urandom(188 * (s % 4)) + b"\x01" for s in range(1, count + 1)}
    t.feed([stream[s] for s in range(1, count + 1)])
    got = {}
    seen = 0
    # The link loses every 13th slice on first delivery; the peer asks for what it misses until
    # it has everything or gives up after a few rounds.
    for rounds in range(30):
        peer.poll(0.3)
        for _, _, pkt, _ in data_packets(peer)[seen:]:
            seq, _, _, n, encrypted, data = slice_of(pkt)
            assert encrypted == 1, "slice %d left in clear" % seq
            if pkt[5] & 0x3F == 0x00 and seq % 13 == 0:
                continue
            got[seq] = bytes(a ^ b for a, b in zip(data, ks[seq & 1]))
        seen = len(data_packets(peer))
        missing = [s for s in range(1, count + 1) if s not in got]
        if not missing:
            break
        for i in range(0, len(missing), 249):
            chunk = missing[i:i + 249]
            peer.send(header(7, 0x10, len(chunk)) + struct.pack("<%dQ" % len(chunk), *chunk))
    rc, out, err = t.stop()
    assert not missing, "%d never arrived" % len(missing)
    resent = [g for g in data_packets(peer) if g[2][5] & 0x3F == 0x01]
    assert len(resent) >= count // 13
    for s in range(1, count + 1):
        assert got[s] == stream[s][:188 * (s % 4)], s


# -- end to end: tsgen -> tesseltx -> impairing relay -> tesselrx -K ---------------------------

class Relay:
    """Carries the tunnel between its two ends on `count` consecutive ports, with seeded
    impairment towards the receiver (reordering, duplication) and the loss of the receiver's
    first key requests; the way back goes to wherever the transmitter sent from."""

    def __init__(self, to_ports, seed, drop_key_requests=2):
        self.rng = random.Random(seed)
        self.ports = free_udp_ports(len(to_ports), consecutive=True)
        self.socks = []
        for p in self.ports:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind(("127.0.0.1", p))
            self.socks.append(s)
        self.back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # towards the receiver
        self.back.bind(("127.0.0.1", 0))
        self.to_ports = to_ports
        self.tx_addr = None
        self.drop_key_requests = drop_key_requests
        self.held = []
        self.counts = {"reordered": 0, "duplicated": 0, "key_requests_dropped": 0}
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def forward(self, data, index):
        dest = ("127.0.0.1", self.to_ports[index])
        r = self.rng.random()
        if r < 0.15:
            self.held.append((self.rng.randint(1, 4), data, dest))
            self.counts["reordered"] += 1
            return
        self.back.sendto(data, dest)
        if r < 0.25:
            self.back.sendto(data, dest)
            self.counts["duplicated"] += 1
        still = []
        for n, d, to in self.held:
            if n <= 1:
                self.back.sendto(d, to)
            else:
                still.append((n - 1, d, to))
        self.held = still

    def run(self):
        while self.running:
            ready, _, _ = select.select(self.socks + [self.back], [], [], 0.05)
            for s in ready:
                data, src = s.recvfrom(4096)
                if s is self.back:
                    # Descriptions stay on this side: a transmitter that got one would rewrite the
                    # description dump in /tmp that another suite may be reading at the time.
                    if self.tx_addr is None or (len(data) > 5 and data[5] & 0x3F in (0x20, 0x21)):
                        continue
                    if len(data) > 5 and data[5] & 0x3F == 0x22 and self.drop_key_requests > 0:
                        self.drop_key_requests -= 1
                        self.counts["key_requests_dropped"] += 1
                        continue
                    self.socks[0].sendto(data, self.tx_addr)
                else:
                    self.tx_addr = src
                    self.forward(data, self.socks.index(s))
            if not ready:
                for _, d, to in self.held:
                    self.back.sendto(d, to)
                self.held = []

    def close(self):
        self.running = False
        self.thread.join()
        for s in self.socks + [self.back]:
            s.close()


def key_counters(log):
    for text in log_texts(log):
        if text.startswith("Keys: "):
            return {k: int(v) for k, v in (item.rsplit(" ", 1) for item in text[6:].split(", "))}
    return {}


@pytest.mark.parametrize("option,bits", [("-K", 128), ("-L", 256)])
def test_end_to_end_through_impairment_byte_identical(tmp_path, option, bits):
    tsgen = program("tsgen")
    rx = Receiver(program("tesselrx"), "-K", "-w", str(tmp_path / "out.ts"), ports=2, latency=400,
                  out=str(tmp_path))
    relay = Relay(rx.ports, seed=bits)
    in_port = free_udp_ports()[0]
    tx_err = open(tmp_path / "tx.log", "w+")
    tx = popen([program("tesseltx"), "-s", "127.0.0.1:%d" % in_port, "-k", "2", "-d",
                "127.0.0.1:%d" % relay.ports[0], "-e", "5000", "-o", "500", option], stderr=tx_err)
    try:
        # The receiver learns of the transmitter from its first description and asks at once.
        rx.wait_for("Transmission key accepted: AES%d" % bits)
        r = subprocess.run([tsgen, "-r", "3000", "-t", "2", "-S", str(bits), "-d", "127.0.0.1:%d" % in_port,
                            "-w", str(tmp_path / "in.ts")], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        time.sleep(1.2)
        c = rx.stop()
        keys = key_counters(rx.log())
    finally:
        relay.close()
        tx.send_signal(signal.SIGTERM)
        tx.wait(timeout=10)
    sent = (tmp_path / "in.ts").read_bytes()
    assert (tmp_path / "out.ts").read_bytes() == sent
    slices = len(sent) // 1316
    assert c["received"] == slices and c["lost"] == 0 and c["duplicates"] > 0
    assert relay.counts["reordered"] > 0 and relay.counts["key_requests_dropped"] == 2
    assert keys["key_requests"] >= 3 and keys["keys_accepted"] >= 1
    assert keys["decrypted"] == slices + c["duplicates"] and keys["undecryptable"] == 0
    tx_err.seek(0)
    assert log_texts(tx_err.read()).count("[0] Transmission key sent.") == keys["key_requests"] - 2
