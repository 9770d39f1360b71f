"""Harness for process-level tests of the output daemons (displinkd, coaxlinkd).

Pieces, each usable alone:

  require_environment()     fails (never skips) when root, unshare, FUSE or umockdev is missing
  PrivateBus(workdir, files)
                            a private dbus-daemon; .address for DBUS_SYSTEM_BUS_ADDRESS
  start_mock(bus, template, bus_name, params, log)
                            a python-dbusmock template on that bus, waited for until it owns its name
  start_video_control(bus, started), set_video_started(bus, value)
                            the mock "com.vexo.VideoControl" and changes of its "VideoStarted"
  Simdev(buses=(4,), gpio=17)
                            the simulated device host (tests/fixtures/simdev): .ask(command) -> lines
  daemon_user(name)         an /etc/passwd and /etc/group pair: the machine's entries plus `name`
                            with a real, otherwise unused, unprivileged uid/gid
  Daemon(program, args, files=..., simdev=..., env=...)
                            runs the program in a private mount namespace in which `files`
                            ({absolute path: text or bytes}) appear at their paths, with umockdev's
                            preload and UMOCKDEV_DIR in the program's environment only; collects
                            its standard output line by line; .wait_line(), .wait_exit(),
                            .signal(), .stop()
  edid_path(name), edid_expected(name)
                            a real EDID of ../shared/testdata/edid and its reference answers

Every daemon drops root before opening the I2C and video devices, so everything the program
reaches after the drop (the umockdev directory, the bus socket, the supplied files) is made
reachable by any uid. Nothing here changes the machine's own /etc, /usr or /dev: the supplied
files are overlays that exist only inside the program's mount namespace.
"""
import json
import os
import shlex
import shutil
import signal as signals
import stat
import subprocess
import tempfile
import threading
import time

SOURCE = os.environ.get("TESSEL_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BIN = os.environ.get("TESSEL_BIN") or os.path.join(SOURCE, "build", "bin")
TEST_BIN = os.path.join(BIN, "..", "tests", "bin")
FIXTURES = os.path.join(SOURCE, "tests", "fixtures")
SHARED = os.path.join(SOURCE, "..", "shared")
EDID_DIR = os.path.join(SHARED, "testdata", "edid")
PRELOAD = "libumockdev-preload.so.0"
PYTHON = "/usr/bin/python3"


def program(name):
    """Path of a program in build/bin; a missing one fails the test."""
    path = os.path.join(BIN, name)
    assert os.path.exists(path), f"{name} is not built ({path})"
    return path


def test_program(name):
    path = os.path.join(TEST_BIN, name)
    assert os.path.exists(path), f"{name} is not built ({path})"
    return path


def require_environment():
    """Asserts what every run needs; a machine without it fails the test instead of skipping it."""
    assert os.geteuid() == 0, "process-level daemon tests need root (privilege drop, mounts, FUSE)"
    assert shutil.which("unshare"), "unshare (util-linux) is not installed"
    r = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], capture_output=True)
    assert r.returncode == 0, f"cannot make a private mount namespace: {r.stderr!r}"
    assert os.path.exists("/dev/fuse"), "/dev/fuse is missing"
    require_preload()
    assert shutil.which("dbus-daemon"), "dbus-daemon is not installed"


def require_preload():
    out = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
    assert PRELOAD in out, f"{PRELOAD} is not installed: install umockdev"


def make_workdir():
    """A temporary directory every uid may traverse (pytest's own are root-only)."""
    d = tempfile.mkdtemp(prefix="daemon-env-")
    os.chmod(d, 0o755)
    return d


def wait_until(predicate, timeout, what):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, f"timed out waiting for {what}"
        time.sleep(0.02)


# --- D-Bus -------------------------------------------------------------------------------------

class PrivateBus:
    """A throw-away system bus listening on a socket inside `workdir`.

    files: {path: content} the bus daemon sees, as for Daemon. The daemon looks up the groups of
    every uid that connects and drops a connection whose uid it cannot resolve, so a bus that a
    daemon's own user reaches needs that user's /etc/passwd and /etc/group (see daemon_user)."""

    def __init__(self, workdir, files=None):
        self.address = f"unix:path={workdir}/system_bus_socket"
        argv = ["dbus-daemon", "--nofork", "--print-address=1",
                f"--config-file={FIXTURES}/private-system-bus.conf", f"--address={self.address}"]
        if files:
            stage = tempfile.mkdtemp(prefix="bus-files-", dir=workdir)
            commands, _ = overlay_script(files, stage)
            argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                    " && ".join(commands + ['exec "$0" "$@"'])] + argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        printed = self.proc.stdout.readline()  # printed once it listens
        assert printed.startswith("unix:"), "dbus-daemon did not start"
        os.chmod(f"{workdir}/system_bus_socket", 0o777)
        self.mocks = []

    def name_has_owner(self, name):
        r = subprocess.run(
            ["dbus-send", f"--bus={self.address}", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
            capture_output=True, text=True, timeout=10)
        return "boolean true" in r.stdout

    def stop(self):
        for m in self.mocks:
            stop_process(m)
        self.mocks = []
        stop_process(self.proc)


def start_mock(bus, template, bus_name, params=None, log=None):
    """Starts a python-dbusmock template on `bus` and waits until it owns `bus_name`. `log`: a
    file that receives dbusmock's record of the method calls it served."""
    args = [PYTHON, "-m", "dbusmock", "--template", template]
    if params is not None:
        args += ["-p", json.dumps(params)]
    if log is not None:
        args += ["-l", log]
    proc = subprocess.Popen(args, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bus.mocks.append(proc)
    wait_until(lambda: bus.name_has_owner(bus_name) or proc.poll() is not None, 30, f"{bus_name} on the bus")
    assert proc.poll() is None, f"mock {template} ended with {proc.returncode}"
    return proc


def stop_process(proc, timeout=10):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# --- the simulated device ------------------------------------------------------------------------

class Simdev:
    """tests/fixtures/simdev: "/dev/cam0", "/dev/i2c-N" for each bus and the GPIO tree, with the
    chip's interrupt line on `gpio` (None: no line). Commands are listed in simdev_main.cc."""

    def __init__(self, buses=(4,), gpio=17):
        require_preload()
        args = [test_program("simdev")]
        for b in buses:
            args += ["-b", str(b)]
        if gpio is not None:
            args += ["-i", str(gpio)]
        self.buses = list(buses)
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().strip()
        assert first.startswith("UMOCKDEV_DIR="), f"simdev did not start: {first!r}"
        self.dir = first.split("=", 1)[1]
        open_to_everyone(self.dir, skip=os.path.join(self.dir, "sys", "class", "gpio"))

    def ask(self, line):
        """Runs one command; returns its data lines, fails on an "error" answer."""
        with self.lock:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
            lines = []
            while True:
                got = self.proc.stdout.readline()
                assert got, f"simdev ended during {line!r}"
                got = got.rstrip("\n")
                if got == "ok":
                    return lines
                assert not got.startswith("error"), f"{line}: {got}"
                lines.append(got)

    def env(self):
        """The variables a program needs to see the simulated device. In the sanitizer build the
        preload comes before the ASan runtime, which still intercepts what it needs."""
        asan = os.environ.get("ASAN_OPTIONS", "")
        return {"LD_PRELOAD": PRELOAD, "UMOCKDEV_DIR": self.dir,
                "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}

    def close(self):
        if self.proc.poll() is None:
            try:
                self.ask("quit")
                self.proc.wait(timeout=10)
            except (AssertionError, BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def open_to_everyone(top, skip):
    """Lets an unprivileged uid reach the umockdev tree: directories traversable, sockets
    connectable, files and device nodes readable and writable. The FUSE mount at `skip` keeps the
    modes it serves."""
    for root, dirs, files in os.walk(top):
        if os.path.abspath(root) == os.path.abspath(skip):
            dirs[:] = []
            continue
        os.chmod(root, 0o755)
        dirs[:] = [d for d in dirs if os.path.abspath(os.path.join(root, d)) != os.path.abspath(skip)]
        for f in files:
            p = os.path.join(root, f)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode) and os.path.realpath(p).startswith("/dev/pts/"):
                # umockdev's device nodes are pseudo-terminals of the host process.
                os.chmod(os.path.realpath(p), 0o666)
            elif stat.S_ISSOCK(st.st_mode):
                os.chmod(p, 0o777)
            elif stat.S_ISREG(st.st_mode):
                os.chmod(p, st.st_mode | 0o644)


# --- users ---------------------------------------------------------------------------------------

def daemon_user(name, groups=None):
    """(uid, gid, {"/etc/passwd": ..., "/etc/group": ...}): the machine's entries plus user and
    group `name` with the first id from 20000 on that neither file uses."""
    groups = groups if groups is not None else [name]
    with open("/etc/passwd", encoding="utf-8") as f:
        passwd = f.read()
    with open("/etc/group", encoding="utf-8") as f:
        group = f.read()
    used = {int(line.split(":")[2]) for line in passwd.splitlines() if line.count(":") >= 3}
    used |= {int(line.split(":")[2]) for line in group.splitlines() if line.count(":") >= 3}
    uid = next(i for i in range(20000, 60000) if i not in used)
    passwd = passwd.rstrip("\n") + f"\n{name}:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin\n"
    for g in groups:
        group = group.rstrip("\n") + f"\n{g}:x:{uid}:\n"
    return uid, uid, {"/etc/passwd": passwd, "/etc/group": group}


# --- running a daemon ----------------------------------------------------------------------------

def overlay_script(files, stage):
    """Shell commands that make `files` appear at their paths inside the current (private) mount
    namespace: each file's nearest existing ancestor directory gets an overlay whose upper layer
    holds the file. Missing directories are created only in the upper layer."""
    anchors = {}
    for path in files:
        assert os.path.isabs(path), path
        anchor = os.path.dirname(path)
        while not os.path.isdir(anchor):
            anchor = os.path.dirname(anchor)
        anchors.setdefault(anchor, []).append(path)
    # An anchor inside another anchor joins the outer one (one overlay per tree).
    for a in sorted(anchors, key=len):
        outer = next((b for b in anchors if b != a and a.startswith(b.rstrip("/") + "/")), None)
        if outer is not None:
            anchors[outer] += anchors.pop(a)
    commands = []
    for i, (anchor, paths) in enumerate(sorted(anchors.items())):
        upper, work = os.path.join(stage, f"upper{i}"), os.path.join(stage, f"work{i}")
        os.makedirs(upper)
        os.makedirs(work)
        os.chmod(upper, 0o755)
        for p in paths:
            rel = os.path.relpath(p, anchor)
            dst = os.path.join(upper, rel)
            os.makedirs(os.path.dirname(dst), mode=0o755, exist_ok=True)
            content = files[p]
            with open(dst, "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
            os.chmod(dst, 0o644)
            d = os.path.dirname(dst)
            while d != upper:
                os.chmod(d, 0o755)
                d = os.path.dirname(d)
        commands.append(f"mount -t overlay overlay -o lowerdir={shlex.quote(anchor)},"
                        f"upperdir={shlex.quote(upper)},workdir={shlex.quote(work)} {shlex.quote(anchor)}")
    return commands, {p: upper_path(p, anchors, stage) for p in files}


def upper_path(path, anchors, stage):
    for i, (anchor, paths) in enumerate(sorted(anchors.items())):
        if path in paths:
            return os.path.join(stage, f"upper{i}", os.path.relpath(path, anchor))
    raise KeyError(path)


class Daemon:
    """One run of `program args` in a private mount namespace.

    files:   {absolute path: str or bytes} visible at those paths to the program only
    simdev:  a Simdev whose device the program sees (LD_PRELOAD and UMOCKDEV_DIR for it alone)
    env:     extra environment variables (DBUS_SYSTEM_BUS_ADDRESS, ...)

    The process id is the program's own (the namespace set-up execs into it)."""

    def __init__(self, prog, args=(), files=None, simdev=None, env=None, workdir=None):
        self.own_workdir = workdir is None
        self.workdir = workdir or make_workdir()
        self.stage = tempfile.mkdtemp(prefix="files-", dir=self.workdir)
        os.chmod(self.stage, 0o755)
        commands, self.file_paths = overlay_script(files or {}, self.stage)
        program_env = dict(env or {})
        if simdev is not None:
            program_env.update(simdev.env())
        assigns = " ".join(f"{k}={shlex.quote(v)}" for k, v in program_env.items())
        script = " && ".join(commands + [f'exec env {assigns} "$0" "$@"'])
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, prog, *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pid = self.proc.pid
        self.stderr = b""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.err_reader = threading.Thread(target=self._read_err, daemon=True)
        self.err_reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def _read_err(self):
        self.stderr = self.proc.stderr.read()

    def update_file(self, path, content):
        """Changes a supplied file while the program runs (it sees the new content)."""
        with open(self.file_paths[path], "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)

    def output(self):
        with self.cond:
            return list(self.lines)

    def wait_line(self, pattern, timeout=10, start=0):
        """The first line from index `start` on that equals `pattern` (str) or matches it
        (compiled regex); fails after `timeout` seconds or when the program ends first."""
        end = time.monotonic() + timeout
        def match(line):
            return line == pattern if isinstance(pattern, str) else pattern.search(line)
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    if match(self.lines[i]):
                        return self.lines[i]
                    i += 1
                left = end - time.monotonic()
                if self.proc.poll() is not None and not self.reader.is_alive():
                    raise AssertionError(f"program ended ({self.proc.returncode}) before {pattern!r}; "
                                         f"output: {self.lines}")
                assert left > 0, f"no line {pattern!r} within {timeout} s; output: {self.lines}"
                self.cond.wait(min(left, 0.1))

    def index_of(self, line):
        """Index of the first line equal to `line` (or -1)."""
        with self.cond:
            return self.lines.index(line) if line in self.lines else -1

    def signal(self, sig=signals.SIGTERM):
        self.proc.send_signal(sig)

    def wait_exit(self, timeout=10):
        """The exit status; fails when the program still runs after `timeout` seconds."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"program still running after {timeout} s; output: {self.output()}")
        self.reader.join(timeout=5)
        self.err_reader.join(timeout=5)
        return status

    def running(self):
        return self.proc.poll() is None

    def stop(self, timeout=10):
        """SIGTERM (then SIGKILL) if still running; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signals.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=5)
        self.err_reader.join(timeout=5)
        return self.proc.returncode

    def status_field(self, name):
        """A field of /proc/PID/status ("Uid", "Gid", ...) as its words."""
        with open(f"/proc/{self.pid}/status", encoding="utf-8") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key == name:
                    return value.split()
        raise KeyError(name)

    def cleanup(self):
        """Stops the program and removes its staged files (and its working folder if it made it)."""
        self.stop()
        shutil.rmtree(self.workdir if self.own_workdir else self.stage, ignore_errors=True)


def edid_path(name):
    """A real EDID of the shared corpus, by its file name without ".bin"."""
    path = os.path.join(EDID_DIR, name + ".bin")
    assert os.path.exists(path), f"EDID {name} missing from {EDID_DIR}"
    return path


def edid_expected(name):
    with open(os.path.join(EDID_DIR, name + ".expected.json"), encoding="utf-8") as f:
        return json.load(f)


# --- the video pipeline's state ------------------------------------------------------------------

VIDEO_CONTROL = "com.vexo.VideoControl"
VIDEO_CONTROL_PATH = "/com/vexo/VideoControl/1"


def start_video_control(bus, started=False, log=None):
    """The mock "com.vexo.VideoControl" with "VideoStarted" = `started` (a bool, or a str/int for
    a non-boolean value)."""
    return start_mock(bus, os.path.join(FIXTURES, "video_control_mock.py"), VIDEO_CONTROL,
                      {"VideoStarted": started}, log)


def set_video_started(bus, value):
    """Sets "VideoStarted" on the mock (bool, str or int), which emits PropertiesChanged."""
    from gi.repository import Gio, GLib  # Debian's python3-gi
    if isinstance(value, bool):
        v = GLib.Variant("b", value)
    elif isinstance(value, int):
        v = GLib.Variant("i", value)
    else:
        v = GLib.Variant("s", value)
    conn = Gio.DBusConnection.new_for_address_sync(
        bus.address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    try:
        conn.call_sync(VIDEO_CONTROL, VIDEO_CONTROL_PATH, "org.freedesktop.DBus.Properties", "Set",
                       GLib.Variant("(ssv)", (VIDEO_CONTROL, "VideoStarted", v)), None,
                       Gio.DBusCallFlags.NONE, 5000, None)
    finally:
        conn.close_sync(None)
