"""tesseltx as an operator meets it: its command line, texts, refusals and exit statuses."""
import os
import signal
import socket
import subprocess
import time

import pytest

from tessel_proc import needs_isolation, free_udp_ports, log_texts, program, run, run_with_syslog

HELP = """Tessel
Lossless tunneling of MPEG2-TS streams over UDP (transmitter)

Usage: {prog} [OPTION]...

Options:
  -s [<ip>]:<port>  Receive the stream on the specified port/multicast group
  -d <ip>:<port>    Transmit to this destination
  -k <count>        Number of udp sessions [1]
        (min proto v6)
  -l <pfx>          Syslog and rrd prefix
  -r <ip>:<port>    RRDcached server address
  -p <prefix>       Node prefix for CS
  -c <ip>:<port>    Central Server server address
  -e <kbit/s>       Maximum tunnel bandwidth
  -o <ms>           Tunnel delay
  -B <size>         Input socket buffer size [1048576]
  -u <s>            Exit after no ping request for [0 - disabled] s
  -U                Instead of exiting on "-u" recreate a socket
  -K                Enable encryption                   (min proto v7)
  -N <node_no>      Advert Info: node no                (min proto v6)
  -C <cluster_name> Advert Info: cluster name           (min proto v6)
  -E <endpoint_no>  Advert Info: endpoint no            (min proto v6)
  -D <description>  Advert Info: description            (min proto v6)
  -5                Force proto v5
  -6                Force proto v6
  -f <fec level>    Enable FEC                          (min proto v7)
  -K                Encrypt transmission                (min proto v7)
  -v                Output version information and exit
  -h                Show this help
"""
VERSION = "Tessel-TX 17.0.4 build 64a15723 (protocol version: 5 - 7)\n"


@pytest.fixture(scope="module")
def tx():
    return program("tesseltx")


def input_arg():
    return "127.0.0.1:%d" % free_udp_ports()[0]


@pytest.mark.parametrize("args", [[], ["-h"], ["-?"], ["-x"], ["-d"]])
def test_help_text_byte_for_byte_and_status_0(tx, args):
    r = run([tx] + args)
    assert r.returncode == 0
    assert r.stdout == HELP.format(prog=tx)


def test_help_names_the_program_as_started(tx):
    r = run(["-h"], executable=tx)
    assert r.stdout == HELP.format(prog="-h")


def test_unknown_option_gets_the_parser_diagnostic_then_help(tx):
    r = run([tx, "-x"])
    assert "invalid option -- 'x'" in r.stderr
    r = run([tx, "-d"])
    assert "option requires an argument -- 'd'" in r.stderr


def test_version_stops_at_once_after_earlier_options_ran(tx):
    r = run([tx, "-s", input_arg(), "-v", "-e", "0", "-d", "bad"])
    assert r.returncode == 0
    assert r.stdout == VERSION
    texts = log_texts(r.stderr)
    assert len(texts) == 1 and texts[0].startswith("Successfully created input socket 127.0.0.1:")


@pytest.mark.parametrize("value", ["0", "-5", "abc"])
def test_invalid_bandwidth(tx, value):
    r = run([tx, "-d", "127.0.0.1:9", "-e", value])
    assert r.returncode == 255
    assert log_texts(r.stderr)[-1] == "Invalid bandwidth (%s)" % value


@pytest.mark.parametrize("arg,reason", [
    ("239.1.1.1", "No port number given."),
    ("239.1.1.1:50x0", "Incomprehensible port number."),
    ("239.1.1.1:5000@eth0", "Incomprehensible IP address."),
    ("some.host:5000", "Incomprehensible IP address."),
    ("192.0.2.77:5000", "bind(): Cannot assign requested address"),
    ("239.7.7.7:5000@192.0.2.77", "setsockopt(IP_ADD_MEMBERSHIP): No such device"),
])
def test_socket_creating_errors(tx, arg, reason):
    r = run([tx, "-s", arg, "-d", "127.0.0.1:9"])
    assert r.returncode == 255
    assert log_texts(r.stderr) == ["Socket creating error: " + reason]


def test_port_in_use_is_a_bind_error(tx):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    try:
        r = run([tx, "-s", "127.0.0.1:%d" % s.getsockname()[1]])
    finally:
        s.close()
    assert r.returncode == 255
    assert log_texts(r.stderr) == ["Socket creating error: bind(): Address already in use"]


def test_input_creation_prints_the_mreq_diagnostic(tx):
    port = free_udp_ports()[0]
    r = run([tx, "-s", "239.1.2.3:%d@127.0.0.1" % port, "-v"])
    n = socket.htons(port)
    raw_group = int.from_bytes(socket.inet_aton("239.1.2.3"), "little")
    raw_if = int.from_bytes(socket.inet_aton("127.0.0.1"), "little")
    assert "mreq ip: %x if %x port %x %d %d\n" % (raw_group, raw_if, n, n, port) in r.stderr


def test_without_input_socket_stops_after_start_up(tx):
    r = run([tx, "-d", "127.0.0.1:9", "-e", "1000"])
    assert r.returncode == 255
    texts = log_texts(r.stderr)
    assert texts[-1] == "Input socket is not ready!"
    assert any(t.startswith("Initialising buffer.") for t in texts)


def test_hyphen_input_on_a_terminal_or_file_fails_timestamp_option(tx):
    with open(os.devnull) as devnull:
        r = run([tx, "-s", "-", "-d", "127.0.0.1:9"], stdin=devnull)
    assert r.returncode == 255
    assert log_texts(r.stderr) == ["Setsockopt SO_TIMESTAMP: Socket operation on non-socket"]


def test_hyphen_input_on_a_socket_is_not_ready(tx):
    a, b = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        r = run([tx, "-s", "-", "-d", "127.0.0.1:9"], stdin=a)
    finally:
        a.close()
        b.close()
    assert r.returncode == 255
    assert log_texts(r.stderr)[-1] == "Input socket is not ready!"


def test_unparsable_destination(tx):
    r = run([tx, "-d", "10.0.0.1:50x0"])
    assert r.returncode == 255
    assert log_texts(r.stderr) == [
        "Unable to parse transmission address in '10.0.0.1:50x0'",
        "Unable to create output transmission structure!",
    ]


def test_outputs_are_numbered_in_command_line_order(tx):
    r = run([tx, "-d", "127.0.0.1:9", "-d", ":10", "-v"])
    assert log_texts(r.stderr) == [
        "[0] Succesfully created output: '127.0.0.1:9'",
        "[1] Succesfully created output: ':10'",
    ]


def test_no_output_is_refused(tx):
    r = run([tx, "-s", input_arg()])
    assert r.returncode == 255
    assert log_texts(r.stderr)[-1] == "No output given. At least one -d <ip>:<port> is needed!"


@pytest.mark.parametrize("delay,kbps,line", [
    ("1000", "10528", "Initialising buffer. 1000 slices required, 4096 allocated. 5MB used."),
    ("5000", "210560", "Initialising buffer. 100000 slices required, 262144 allocated. 336MB used."),
])
def test_buffer_size_examples(tx, delay, kbps, line):
    r = run([tx, "-d", "127.0.0.1:9", "-e", kbps, "-o", delay])
    assert line in log_texts(r.stderr)


def test_buffer_too_large_is_refused(tx):
    r = run([tx, "-d", "127.0.0.1:9", "-e", "421120", "-o", "10000"])
    assert r.returncode == 255
    assert log_texts(r.stderr)[-1] == (
        "Invalid buffer size (should be between 8 and 20 bits). "
        "Decrease max bandtwidth or tunnel delay!")


def test_bandwidth_caps_only_outputs_created_before_it(tx):
    before = run([tx, "-d", "127.0.0.1:9", "-e", "10528", "-o", "1000"])
    assert "Initialising buffer. 1000 slices required, 4096 allocated. 5MB used." in log_texts(before.stderr)
    after = run([tx, "-e", "10528", "-d", "127.0.0.1:9", "-o", "1000"])
    assert "Initialising buffer. 0 slices required, 4096 allocated. 5MB used." in log_texts(after.stderr)


def test_bandwidth_above_2_gbit_does_not_overflow(tx):
    # 2.5 Gbit/s: 2500000 kbit/s x 1000 does not fit 32 bits; the cap must still be 237462.
    r = run([tx, "-d", "127.0.0.1:9", "-e", "2500000", "-o", "1000"])
    assert "Initialising buffer. 237462 slices required, 524288 allocated. 672MB used." in log_texts(r.stderr)


def start(tx, *args):
    return subprocess.Popen([tx] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_for_line(proc, predicate, timeout=5):
    """Reads log lines until one matches; returns all texts read so far."""
    texts = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        texts.extend(log_texts(line))
        if texts and predicate(texts[-1]):
            return texts
    raise AssertionError("line not seen; got %r" % texts)


def test_sigterm_ends_with_one_line_and_status_0(tx):
    p = start(tx, "-s", input_arg(), "-d", "127.0.0.1:9", "-e", "1000")
    try:
        wait_for_line(p, lambda t: t.startswith("Tessel-TX version"))
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=5)
    finally:
        p.kill()
    assert p.returncode == 0
    assert log_texts(err) == ["Received Terminated (15) signal. Exiting."]


def test_start_up_lines_in_order(tx):
    inp = input_arg()
    p = start(tx, "-s", inp, "-d", "127.0.0.1:9", "-e", "1000")
    try:
        texts = wait_for_line(p, lambda t: t.startswith("Tessel-TX version"))
    finally:
        p.terminate()
        p.communicate(timeout=5)
    assert texts == [
        "Successfully created input socket " + inp,
        "[0] Succesfully created output: '127.0.0.1:9'",
        "Initialising buffer. 0 slices required, 4096 allocated. 5MB used.",
        "Tessel-TX version 17.0.4 build 64a15723 starting. Proto v7.",
    ]


def started_lines(tx, *args):
    p = start(tx, "-s", input_arg(), "-d", "127.0.0.1:9", "-e", "1000", *args)
    try:
        return wait_for_line(p, lambda t: t.startswith("Tessel-TX version"))
    finally:
        p.terminate()
        p.communicate(timeout=5)


def test_protocol_rules_for_fec_and_encryption(tx):
    texts = started_lines(tx, "-6", "-f", "3", "-K")
    assert "Unable to use FEC on proto v6. Required proto >= v7" in texts
    assert "Unable to use Encryption on proto v6. Required proto >= v7" in texts
    assert texts[-1] == "Tessel-TX version 17.0.4 build 64a15723 starting. Proto v6."
    texts = started_lines(tx, "-5", "-6", "-5")
    assert texts[-1].endswith("Proto v5.")
    # Level 255 is off in 8 bits: no refusal even on an old version.
    texts = started_lines(tx, "-6", "-f", "255")
    assert not any("FEC" in t for t in texts)


def test_statistics_servers_need_a_prefix(tx):
    r = run([tx, "-s", input_arg(), "-d", "127.0.0.1:9", "-r", "127.0.0.1:1"])
    assert r.returncode == 255
    assert log_texts(r.stderr)[-1] == "Statistics servers (-r, -c) need the series prefix given with -l"


@needs_isolation
def test_log_option_sends_later_messages_to_syslog(tx, tmp_path):
    inp = input_arg()
    r, records = run_with_syslog([tx, "-s", inp, "-l", "txtest", "-d", "10.0.0.1:50x0"], tmp_path)
    assert r.returncode == 255
    assert log_texts(r.stderr) == ["Successfully created input socket " + inp]
    assert [(p, m) for p, _, m in records] == [
        (8 + 3, "Unable to parse transmission address in '10.0.0.1:50x0'"),
        (8 + 3, "Unable to create output transmission structure!"),
    ]
    assert all(ident.startswith("txtest[") for _, ident, _ in records)
