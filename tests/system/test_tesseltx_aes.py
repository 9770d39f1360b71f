"""Encryption seen from the far end: the key reply checked with the openssl command line, slices
decrypted with it, and no slice in clear even through loss and resends."""
import os
import struct
import subprocess

import pytest

from tessel_proc import Peer, header, log_texts, program, ts_packet
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


@pytest.mark.parametrize("request_bytes,line", [
    (lambda der: key_request(der)[:100], "Unable to decode public key"),
    (lambda der: header(7, 0x22, 8, 0) + b"\x30\x06\x02\x01\x05\x02\x01\x03", "Unable to encrypt tranmission key"),
    (lambda der: header(7, 0x22, 0, 0), "Unable to decode public key"),
])
def test_bad_requests_are_logged_and_unanswered_then_a_good_one_is(tx, rsa, request_bytes, line):
    key_pem, der = rsa
    peer = Peer()
    t = Tunnel(tx, [peer], "-e", "100000", "-o", "100", "-K")
    peer.poll(0.3)
    peer.send(request_bytes(der))
    peer.poll(0.3)
    assert peer.of_type(0x23, 0x25) == []
    assert t.proc.poll() is None
    peer.send(key_request(der))
    peer.poll(0.3)
    rc, out, err = t.stop()
    assert len(peer.of_type(0x23)) == 1
    texts = log_texts(err)
    assert texts.count("[0] Public key received.") == 2
    assert line in texts
