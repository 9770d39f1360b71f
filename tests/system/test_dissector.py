"""The Wireshark dissector against a real capture: tesseltx and tesselrx exchange on loopback (FEC
with loss at the receiver, so that requests, resends and parity flow; -K and -L for both key
replies), dumpcap records it, and tshark's decoding of every packet type is checked field by
field against the datagram bytes themselves."""
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from tessel_proc import MAGIC, free_udp_ports, program, ts_packet
from test_tesselrx import Receiver, end_processes  # noqa: F401 (autouse teardown)

SOURCE = os.environ.get("TESSEL_SOURCE") or os.path.join(os.path.dirname(__file__), "..", "..")
LUA = os.path.join(SOURCE, "tools", "wireshark", "tessel.lua")
SLICES = 60
FUZZ = 200
TX_INFO = ["-N", "3", "-C", "alpha", "-E", "2", "-D", "tx-desc"]
RX_INFO = ["-N", "261", "-C", "rx-cluster", "-E", "6", "-D", "rx desc"]  # 261 travels as 5


def tool(name):
    path = shutil.which(name)
    assert path, f"{name} is not installed (scripts/setup installs it)"
    return path


class Capture:
    def __init__(self, path, ports):
        self.path = str(path)
        flt = " or ".join("udp port %d" % p for p in ports)
        self.proc = subprocess.Popen([tool("dumpcap"), "-q", "-i", "lo", "-f", flt, "-w", self.path],
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        assert "Capturing on" in line, line + self.proc.stderr.read()
        time.sleep(1.0)  # the filter is attached a moment after the announcement

    def stop(self):
        time.sleep(0.3)
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)


@pytest.fixture(scope="module")
def decoded(tmp_path_factory):
    """(raw payloads {frame: bytes}, -V blocks {frame: [lines]}, pref port text, junk port) of
    one capture."""
    tx, rx = program("tesseltx"), program("tesselrx")
    tmp = tmp_path_factory.mktemp("capture")
    tunnels = [(["-f", "3"], ["-I", "in:loss=15,seed=3"], 2),  # clear, FEC groups of 4, loss
               (["-K"], ["-K"], 1),                             # AES-128
               (["-L"], ["-K"], 1)]                             # AES-256
    receivers, transmitters, inputs = [], [], []
    junk = free_udp_ports()[0]
    rx_ports = []
    cap = None
    try:
        for k, (tx_opts, rx_opts, ports) in enumerate(tunnels):
            r = Receiver(rx, "-w", "/dev/null", *RX_INFO, *rx_opts, ports=ports, latency=300, out=str(tmp))
            receivers.append(r)
            rx_ports += r.ports
        cap = Capture(tmp / "tunnel.pcapng", rx_ports + [junk])
        for (tx_opts, _, ports), r in zip(tunnels, receivers):
            in_port = free_udp_ports()[0]
            inputs.append(in_port)
            transmitters.append(subprocess.Popen(
                [tx, "-s", "127.0.0.1:%d" % in_port, "-k", str(ports), "-d", "127.0.0.1:%d" % r.ports[0],
                 "-e", "100000", "-o", "100", *TX_INFO, *tx_opts],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.8)  # descriptions, pings and the key exchange
        src = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for s in range(SLICES):
            n = s % 8  # 0 to 7 TS packets
            payload = b"".join(ts_packet(0x100 + s % 3, s * 8 + i, fill=s) for i in range(n)) or b"x" * 50
            for p in inputs:
                src.sendto(payload, ("127.0.0.1", p))
            time.sleep(0.005)
        # Hostile datagrams to a port of the range that nobody reads.
        for junk_bytes in (MAGIC + bytes([7, 0x50, 5, 9]) + struct.pack("<Q", 42),  # 5 listed, 1 held
                           MAGIC + bytes([7, 0x00, 0, 0]) + bytes(20),               # data cut short
                           MAGIC + bytes([7, 0x21, 40, 0]) + bytes([2, 30]) + b"abc",  # TLV past the end
                           MAGIC + bytes([7, 0x22, 0x0e, 0x01]) + b"\x30\x82",        # key cut short
                           MAGIC + bytes([7, 0xBF, 0, 0])):                           # unknown, reserved
            src.sendto(junk_bytes, ("127.0.0.1", junk))
        rng = random.Random(7)
        for _ in range(FUZZ):  # every type with random lengths and contents
            body = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 8, 17, 40, 300, 1400])))
            src.sendto(MAGIC + bytes([7, rng.choice([0, 1, 2, 3, 0x10, 0x11, 0x20, 0x21, 0x22, 0x23, 0x25]) |
                                      rng.choice([0, 0x40]), rng.randrange(256), rng.randrange(3)]) + body,
                       ("127.0.0.1", junk))
        src.close()
        time.sleep(1.0)
    finally:
        for t in transmitters:
            t.terminate()
            t.wait(timeout=10)
        for r in receivers:
            if r.proc.poll() is None:
                r.proc.send_signal(signal.SIGTERM)
                r.proc.wait(timeout=20)
        if cap is not None:
            cap.stop()
    ports = ",".join(str(p) for p in rx_ports + [junk])
    base = [tool("tshark"), "-X", "lua_script:" + LUA, "-o", "tessel.ports:" + ports, "-r", cap.path]
    fields = subprocess.run(base + ["-T", "fields", "-e", "frame.number", "-e", "udp.dstport", "-e", "udp.payload"],
                            capture_output=True, text=True, check=True).stdout
    raw, hostile = {}, set()
    for line in fields.splitlines():
        number, port, payload = line.split("\t")
        raw[int(number)] = bytes.fromhex(payload)
        if int(port) == junk:
            hostile.add(int(number))
    verbose = subprocess.run(base + ["-V"], capture_output=True, text=True, check=True)
    assert "Lua" not in verbose.stderr and "Error" not in verbose.stderr, verbose.stderr
    assert "Lua Error" not in verbose.stdout, re.findall(r".*Lua Error.*", verbose.stdout)[:5]
    # "Decode As" reaches the dissector without the port preference.
    decode_as = subprocess.run(base[:3] + ["-o", "tessel.ports:", "-d", "udp.port==%d,tessel" % rx_ports[-1],
                                           "-r", cap.path, "-Y", "tessel.type == 0x25", "-T", "fields",
                                           "-e", "tessel.aes.bits"], capture_output=True, text=True, check=True)
    assert decode_as.stdout.split() and set(decode_as.stdout.split()) == {"256"}, decode_as.stdout
    return raw, split_frames(verbose.stdout), hostile


def split_frames(text):
    """{frame number: the lines of its Tessel block (indentation kept)}."""
    frames, current, inside = {}, None, False
    for line in text.splitlines():
        m = re.match(r"^Frame (\d+):", line)
        if m:
            current, inside = int(m.group(1)), False
            continue
        if not line.startswith(" "):
            inside = line.startswith("Tessel Tunnel Protocol")
            if inside:
                frames.setdefault(current, []).append(line)
            continue
        if inside:
            frames[current].append(line)
    return frames


def values(lines, label):
    """Every value shown for `label` ("Label: value", bit-field prefixes ignored)."""
    out = []
    for line in lines:
        m = re.match(r"^\s*(?:[.01 ]+ = )?\[?([^:\[\]]+): (.*?)\]?$", line)
        if m and m.group(1) == label:
            out.append(m.group(2))
    return out


def one(lines, label):
    v = values(lines, label)
    assert len(v) == 1, (label, v, lines)
    return v[0]


def nstime(raw, off):
    sec, nsec = struct.unpack_from("<qq", raw, off)
    return "%d.%09d seconds" % (sec, nsec)


def of_type(decoded, *types):
    """(bytes, decoded lines) of the tunnel's own packets of these types."""
    raw, frames, hostile = decoded
    return [(raw[n], frames[n]) for n in sorted(frames)
            if n not in hostile and len(raw[n]) >= 8 and raw[n][:4] == MAGIC and raw[n][5] & 0x3F in types]


def check_header(raw, lines):
    assert one(lines, "Magic") == "H!G "
    assert one(lines, "Version") == str(raw[4])
    assert one(lines, "Type").endswith("(0x%02x)" % (raw[5] & 0x3F))
    assert one(lines, "FEC flag") == str(bool(raw[5] & 0x40))
    assert one(lines, "Reserved") == str(bool(raw[5] & 0x80))
    assert one(lines, "Size") == str(raw[6])
    assert one(lines, "Id") == str(raw[7])


def test_every_packet_type_of_both_directions_is_decoded(decoded):
    expected = {0x00: "Transmitter to receiver", 0x01: "Transmitter to receiver", 0x02: "Transmitter to receiver",
                0x03: "Transmitter to receiver", 0x10: "Receiver to transmitter", 0x11: "Receiver to transmitter",
                0x20: "Either way", 0x21: "Either way", 0x22: "Receiver to transmitter",
                0x23: "Transmitter to receiver", 0x25: "Transmitter to receiver"}
    for t, direction in expected.items():
        packets = of_type(decoded, t)
        assert packets, "no packet of type 0x%02x in the capture" % t
        for raw, lines in packets:
            check_header(raw, lines)
            assert one(lines, "Direction") == direction


def test_data_packets_show_slice_and_hand_clear_ts_to_mpeg_ts(decoded):
    layouts = set()
    for raw, lines in of_type(decoded, 0x00, 0x01):
        fec = bool(raw[5] & 0x40)
        off = 32 if fec else 24
        layouts.add((raw[5] & 0x3F, fec))
        assert one(lines, "Departure time") == nstime(raw, 8)
        if fec:
            assert one(lines, "FEC position") == str(struct.unpack_from("<Q", raw, 24)[0])
        seq, = struct.unpack_from("<Q", raw, off)
        n, encrypted = raw[off + 24] & 0x7F, bool(raw[off + 24] & 0x80)
        assert len(raw) == off + 28 + 188 * n
        assert one(lines, "Sequence") == str(seq)
        assert one(lines, "Arrival time") == nstime(raw, off + 8)
        assert one(lines, "TS packets") == str(n)
        assert one(lines, "Encrypted") == str(encrypted)
        assert one(lines, "Filler") == raw[off + 25 + 188 * n:].hex()
        ts_trees = [l for l in lines if l.strip().startswith("ISO/IEC 13818-1 PID=")]
        if encrypted:
            assert ts_trees == []
            if n:
                assert one(lines, "Encrypted TS packets").startswith(raw[off + 25: off + 45].hex())
        else:
            # The stream is PIDs 0x100-0x102 with running continuity counters (see the feed).
            pids = ["ISO/IEC 13818-1 PID=0x%x CC=%d" % (0x100 + (seq - 1) % 3, ((seq - 1) * 8 + i) % 16)
                    for i in range(n)]
            # (the TS dissector may append its own continuity analysis)
            assert len(ts_trees) == n
            assert all(l.strip() == p or l.strip().startswith(p + " ") for l, p in zip(ts_trees, pids)), ts_trees
    assert layouts >= {(0x00, True), (0x01, True), (0x00, False)}, "FEC, resent and plain layouts"


def test_parity_packets_show_position_group_and_parity(decoded):
    packets = of_type(decoded, 0x03)
    assert len(packets) >= 3
    grouped = 0
    for raw, lines in packets:
        position, = struct.unpack_from("<Q", raw, 24)
        assert one(lines, "FEC position") == str(position)
        assert (position + 1) % 4 == 0, "-f 3: every fourth position is parity"
        assert one(lines, "Departure time") == nstime(raw, 8)
        assert len(raw) == 60 + 188 * raw[6]
        assert one(lines, "Parity of the slice images").startswith(raw[32:52].hex())
        if values(lines, "FEC group length"):
            grouped += 1
            assert one(lines, "FEC group length") == "4"
            assert one(lines, "First covered position") == str(position - 3)
            assert one(lines, "Last covered position") == str(position - 1)
    assert grouped == len(packets) - 1, "the group is learnt from the second parity packet on"


def test_requests_list_their_numbers_and_resends_follow(decoded):
    requests = of_type(decoded, 0x10)
    assert requests
    requested = set()
    for raw, lines in requests:
        count = raw[6]
        seqs = [str(s) for s in struct.unpack_from("<%dQ" % count, raw, 8)]
        assert one(lines, "Count") == str(count)
        assert values(lines, "Requested slice") == seqs
        if raw[5] & 0x40:
            assert one(lines, "Request id") == str(raw[7])
        else:
            assert values(lines, "Request id") == []
        requested |= set(seqs)
    resent = {one(lines, "Sequence") for _, lines in of_type(decoded, 0x01)}
    assert resent and resent <= requested


def test_ping_replies_echo_the_pings(decoded):
    pings = {}
    for raw, lines in of_type(decoded, 0x11):
        assert one(lines, "Ping number") == str(struct.unpack_from("<Q", raw, 8)[0])
        assert one(lines, "Departure time") == nstime(raw, 16)
        pings[one(lines, "Ping number"), raw[16:32]] = raw
    replies = of_type(decoded, 0x02)
    assert pings and replies
    for raw, lines in replies:
        assert one(lines, "Departure time") == nstime(raw, 16)
        assert one(lines, "Echoed departure time") == nstime(raw, 32)
        assert (one(lines, "Ping number"), raw[32:48]) in pings, "a reply echoes a ping's number and time"


@pytest.mark.parametrize("side,node,endpoint,cluster,description", [
    ("tx", "3", "2", "alpha", "tx-desc"),
    ("rx", "5", "6", "rx-cluster", "rx desc"),
])
def test_info_packets_show_their_tlvs(decoded, side, node, endpoint, cluster, description):
    seen = set()
    for raw, lines in of_type(decoded, 0x20, 0x21):
        if not values(lines, "Cluster name") or one(lines, "Cluster name") != cluster:
            continue
        seen.add(raw[5] & 0x3F)
        assert one(lines, "Body length") == str(raw[6] + 256 * raw[7])
        assert len(raw) == 8 + raw[6] + 256 * raw[7]
        assert one(lines, "Node number") == node
        assert one(lines, "Endpoint number") == endpoint
        assert one(lines, "Description") == description
        assert values(lines, "TLV type") == ["Node number (1)", "Endpoint number (3)", "Cluster name (2)",
                                             "Description (4)"]
        assert values(lines, "TLV length") == ["1", "1", str(len(cluster)), str(len(description))]
    assert seen == {0x20, 0x21}, f"{side}: both an unasked description and an answer"


def test_key_exchange_shows_key_sizes(decoded):
    for raw, lines in of_type(decoded, 0x22):
        assert one(lines, "Body length") == "270"
        assert one(lines, "RSA public key (PKCS#1 DER)").startswith(raw[8:28].hex())
        assert one(lines, "RSA modulus bits") == "2048"
    for t, aes, iv in ((0x23, 128, 16), (0x25, 256, 32)):
        replies = of_type(decoded, t)
        assert replies
        for raw, lines in replies:
            assert one(lines, "Body length") == str(iv + 256)
            assert one(lines, "AES key bits") == str(aes)
            assert one(lines, "IV") == raw[8:8 + iv].hex()
            assert one(lines, "Encrypted transmission key").startswith(raw[8 + iv: 8 + iv + 20].hex())
            assert one(lines, "RSA modulus bits") == "2048"


def test_hostile_datagrams_are_flagged_not_fatal(decoded):
    raw, frames, hostile = decoded
    assert len(hostile) == 5 + FUZZ and set(frames) >= hostile
    text = "\n".join(l for n in sorted(hostile) for l in frames[n])
    for expected in ("[Expert Info (Warning/Malformed): 5 listed, 1 present]",
                     "[Expert Info (Error/Malformed): 28 bytes, at least 52 needed]",
                     "[Expert Info (Error/Malformed): value of 30 bytes, 3 present]",
                     "[Expert Info (Error/Malformed): 10 bytes, at least 278 needed]",
                     "[Expert Info (Warning/Undecoded): type 0x3f]",
                     "[Expert Info (Warning/Protocol): Reserved bit set]"):
        assert expected in text
    truncated = next(frames[n] for n in hostile if values(frames[n], "Count") == ["5"])
    assert values(truncated, "Requested slice") == ["42"]
