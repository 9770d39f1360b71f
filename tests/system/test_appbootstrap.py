"""appbootstrap as a process, against a private system bus with a mock add-on manager.

The program reads a fixed path and logs to /dev/log. Each run happens in a mount namespace of
its own where overlays put the test's list file at that path and the test's datagram socket at
/dev/log, so that the machine's /etc and /dev are never touched and runs can go in parallel.
"""
import json
import os
import socket
import stat
import subprocess
import time

import pytest

BIN = os.path.join(os.environ.get("TESSEL_BIN") or
                   os.path.join(os.path.dirname(__file__), "../../build/bin"), "appbootstrap")
FIXTURES = os.path.join(os.environ.get("TESSEL_SOURCE") or
                        os.path.join(os.path.dirname(__file__), "../.."), "tests/fixtures")
LIST_PATH = "etc/addon/conf/addonautostart"

INFO = (1 << 3) | 6  # facility user, LOG_INFO
ERR = (1 << 3) | 3   # facility user, LOG_ERR
FINAL = (ERR, "appbootstrap Error occured: msg: Internal error code: 1")


@pytest.fixture(autouse=True, scope="module")
def need_isolation():
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    if r.returncode != 0:
        pytest.fail("cannot run: needs mount namespaces (run as root): " + r.stderr.decode(errors="replace"))


class Bus:
    """A private dbus-daemon and, on demand, the mock add-on manager on it."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.address = f"unix:path={tmp}/system_bus_socket"
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--nofork", "--print-address=1",
             f"--config-file={FIXTURES}/private-system-bus.conf", f"--address={self.address}"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.daemon.stdout.readline()  # printed once it listens
        self.mock = None
        self.record = tmp / "calls"

    def start_manager(self, **params):
        params["record"] = str(self.record)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.mock = subprocess.Popen(
            ["/usr/bin/python3", "-m", "dbusmock", "--template", f"{FIXTURES}/addon_manager_mock.py",
             "-p", json.dumps(params)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 30
        while not self._owned("com.vexo.AddonManager"):
            assert time.monotonic() < end and self.mock.poll() is None, "mock add-on manager did not start"
            time.sleep(0.05)

    def _owned(self, name):
        r = subprocess.run(
            ["dbus-send", f"--bus={self.address}", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
            capture_output=True, text=True)
        return "boolean true" in r.stdout

    def calls(self):
        if not self.record.exists():
            return []
        return [json.loads(line) for line in self.record.read_text(encoding="utf-8").splitlines()]

    def stop(self):
        for p in (self.mock, self.daemon):
            if p:
                p.terminate()
                p.wait(timeout=10)


@pytest.fixture
def bus(tmp_path):
    b = Bus(tmp_path)
    yield b
    b.stop()


def run_appbootstrap(tmp, bus_address, list_content):
    """Runs the program with `list_content` (bytes) as its autostart list; None: no list at all,
    "dir": a directory in its place. Returns the exit status and the syslog records."""
    etc_up, dev_up = tmp / "etc-up", tmp / "dev-up"
    target = etc_up / LIST_PATH.split("/", 1)[1]
    target.parent.mkdir(parents=True)
    if list_content is None:
        os.mknod(target, stat.S_IFCHR, os.makedev(0, 0))  # an overlay whiteout hides any real one
    elif list_content == "dir":
        target.mkdir()
    else:
        target.write_bytes(list_content)
    dev_up.mkdir()
    (dev_up / "log").touch()  # mount point for the socket, hiding any real /dev/log
    for w in ("etc-work", "dev-work"):
        (tmp / w).mkdir()

    sock_path = str(tmp / "log.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(sock_path)
    script = (
        f"mount -t overlay overlay -o lowerdir=/etc,upperdir={etc_up},workdir={tmp}/etc-work /etc && "
        f"mount -t overlay overlay -o lowerdir=/dev,upperdir={dev_up},workdir={tmp}/dev-work /dev && "
        f"mount --bind {sock_path} /dev/log && exec \"$0\"")
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus_address)
    try:
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, BIN],
                           env=env, capture_output=True, timeout=120)
        assert r.stderr == b"", r.stderr
        records = []
        sock.setblocking(False)
        while True:
            try:
                records.append(parse_syslog(sock.recv(65536)))
            except BlockingIOError:
                break
        return r.returncode, records
    finally:
        sock.close()


def parse_syslog(datagram):
    """'<PRI>Mmm dd hh:mm:ss ident: text' -> (PRI, text), checking the identity."""
    text = datagram.decode("utf-8", "replace").rstrip("\n")
    assert text.startswith("<")
    pri, rest = text[1:].split(">", 1)
    ident, _, message = rest[16:].partition(": ")
    assert ident == "appbootstrap", text
    return int(pri), message


def starting(*names):
    out = []
    for n in names:
        out += [(INFO, f"Starting addon {n}"), (INFO, f"Started addon {n}")]
    return out


def test_every_addon_started_in_file_order(bus, tmp_path):
    bus.start_manager()
    status, log = run_appbootstrap(tmp_path, bus.address, b"web-ui\nonvif\nrecorder\n")
    assert status == 0
    assert bus.calls() == ["web-ui", "onvif", "recorder"]
    assert log == starting("web-ui", "onvif", "recorder")


def test_blank_line_and_last_line_without_newline_are_names(bus, tmp_path):
    bus.start_manager()
    status, log = run_appbootstrap(tmp_path, bus.address, b"first \n\nlast")
    assert status == 0
    assert bus.calls() == ["first ", "", "last"]
    assert log == starting("first ", "", "last")


def test_refused_addon_does_not_stop_the_pass(bus, tmp_path):
    bus.start_manager(refuse={"b": [3, "not installed"]})
    status, log = run_appbootstrap(tmp_path, bus.address, b"a\nb\nc\n")
    assert status == 0
    assert bus.calls() == ["a", "b", "c"]
    assert log == starting("a") + [
        (INFO, "Starting addon b"),
        (ERR, "Add-on manager D-Bus start method returned error: not installed(3)"),
    ] + starting("c")


def test_failed_start_call_stops_the_pass(bus, tmp_path):
    bus.start_manager(fail=["b"])
    status, log = run_appbootstrap(tmp_path, bus.address, b"a\nb\nc\n")
    assert status == 1
    assert bus.calls() == ["a", "b"]
    assert log[:3] == starting("a") + [(INFO, "Starting addon b")]
    pri, text = log[3]
    assert pri == ERR
    assert text.startswith("Add-on manager D-Bus start method failed: ")
    assert "com.vexo.AddonManager.Error.Failed: b is broken(" in text
    assert log[4:] == [FINAL]


def test_reply_of_the_wrong_shape_is_a_failed_call(bus, tmp_path):
    bus.start_manager(bad_reply=True)
    status, log = run_appbootstrap(tmp_path, bus.address, b"a\nb\n")
    assert status == 1
    assert bus.calls() == ["a"]
    assert log[0] == (INFO, "Starting addon a")
    assert log[1][0] == ERR and log[1][1].startswith("Add-on manager D-Bus start method failed: ")
    assert log[2:] == [FINAL]


def test_empty_list_still_needs_the_manager(bus, tmp_path):
    bus.start_manager()
    status, log = run_appbootstrap(tmp_path, bus.address, b"")
    assert (status, log, bus.calls()) == (0, [], [])

    # The proxy comes before the first line: with the bus gone, even an empty list fails.
    (tmp_path / "again").mkdir()
    status, log = run_appbootstrap(tmp_path / "again", f"unix:path={tmp_path}/no-bus", b"")
    assert status == 1
    assert log[0][1].startswith("Failed to create an Add-on manager D-Bus proxy: ")


def test_bus_unreachable(tmp_path):
    status, log = run_appbootstrap(tmp_path, f"unix:path={tmp_path}/no-bus", b"a\n")
    assert status == 1
    assert len(log) == 2
    pri, text = log[0]
    assert pri == ERR
    assert text.startswith("Failed to create an Add-on manager D-Bus proxy: ")
    assert text.endswith(")") and "(" in text
    assert log[1] == FINAL


def test_manager_absent_from_the_bus(bus, tmp_path):
    # The proxy does not need the name to have an owner; the first call finds out.
    status, log = run_appbootstrap(tmp_path, bus.address, b"a\nb\n")
    assert status == 1
    assert len(log) == 3
    assert log[0] == (INFO, "Starting addon a")
    assert log[1][0] == ERR
    assert log[1][1].startswith("Add-on manager D-Bus start method failed: ")
    assert "org.freedesktop.DBus.Error.ServiceUnknown" in log[1][1]
    assert log[2] == FINAL


def test_list_missing_or_unreadable_ends_silently(bus, tmp_path):
    bus.start_manager()
    for n, content in enumerate((None, "dir")):
        tmp = tmp_path / str(n)
        tmp.mkdir()
        status, log = run_appbootstrap(tmp, bus.address, content)
        assert (status, log, bus.calls()) == (1, [], []), content


def test_name_that_is_not_utf8_is_skipped(bus, tmp_path):
    bus.start_manager()
    status, log = run_appbootstrap(tmp_path, bus.address, b"a\nbad\xff\nc\n")
    assert status == 0
    assert bus.calls() == ["a", "c"]
    assert (ERR, "Add-on name is not valid UTF-8, not started") in log
    assert log[-2:] == starting("c")
