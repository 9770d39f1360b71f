"""`cmake --install` into a temporary root: the exact tree with its modes, the fixed paths that do
not follow the prefix, programs that run from there, and key files that the daemons accept."""
import os
import re
import stat
import subprocess

import pytest

import daemon_env as env
from tessel_proc import BIN

BUILD = os.path.dirname(os.path.abspath(BIN))
SOURCE = env.SOURCE

PROGRAMS = ["tesseltx", "tesselrx", "displinkd", "coaxlinkd", "serialchat", "appbootstrap"]
UNITS = ["tesseltx@.service", "displinkd.service", "coaxlinkd.service", "appbootstrap.service"]
NXP_CONF = "/usr/share/displinkd/nxp_tda19988.conf"
SDI_CONF = "/usr/share/coaxlinkd/sdi_lmh0303.conf"


def expected_tree(prefix):
    p = prefix.strip("/")
    tree = {f"{p}/bin/{name}": 0o755 for name in PROGRAMS}
    tree.update({f"{p}/libexec/tessel/rrd-create": 0o755, f"{p}/libexec/tessel/rrd-graph": 0o755})
    # Paths the daemons and systemd open as they stand.
    tree.update({NXP_CONF[1:]: 0o644, SDI_CONF[1:]: 0o644})
    tree.update({f"lib/systemd/system/{u}": 0o644 for u in UNITS})
    tree.update({f"{p}/lib/sysusers.d/tessel.conf": 0o644,
                 f"{p}/share/doc/tessel/examples/tesseltx-example.conf": 0o644})
    tree.update({f"{p}/share/man/man1/{n}.1": 0o644 for n in ("tesseltx", "tesselrx", "serialchat")})
    tree.update({f"{p}/share/man/man8/{n}.8": 0o644 for n in ("displinkd", "coaxlinkd", "appbootstrap")})
    return tree


def install(root, prefix="/usr"):
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], capture_output=True, text=True,
                       env=dict(os.environ, DESTDIR=str(root)), timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return root


def tree_of(root):
    found = {}
    for top, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
            path = os.path.join(top, name)
            st = os.lstat(path)
            assert stat.S_ISREG(st.st_mode), f"{path} is not a plain file"
            found[os.path.relpath(path, root)] = stat.S_IMODE(st.st_mode)
    return found


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    return install(tmp_path_factory.mktemp("destdir"))


@pytest.mark.parametrize("prefix", ["/usr", "/opt/tessel"])
def test_tree_is_exact_and_fixed_paths_ignore_the_prefix(tmp_path, prefix):
    found = tree_of(install(tmp_path, prefix))
    expected = expected_tree(prefix)
    assert sorted(found) == sorted(expected)
    assert {p: oct(m) for p, m in found.items()} == {p: oct(m) for p, m in expected.items()}


@pytest.mark.parametrize("program,args,output", [
    ("tesseltx", ["-v"], "Tessel-TX 17.0.4 build 64a15723 (protocol version: 5 - 7)\n"),
    ("tesselrx", ["-v"], "Tessel-RX 17.0.4 build 64a15723 (protocol version: 5 - 7)\n"),
])
def test_installed_programs_run(root, program, args, output):
    r = subprocess.run([str(root / "usr/bin" / program)] + args, capture_output=True, text=True, timeout=10)
    assert (r.returncode, r.stdout) == (0, output)


def test_displinkd_accepts_the_shipped_key_file(root):
    """The daemon reads the shipped file, claims the interrupt line it names and drops to its
    user; with the device not yet set up it then waits, touching nothing else."""
    env.require_environment()
    conf = (root / NXP_CONF[1:]).read_text()
    pin = int(re.search(r"^HdmiIntPin=(\d+)$", conf, re.M).group(1))
    bus = int(re.search(r"^I2CBusNum=(\d+)$", conf, re.M).group(1))
    uid, _, users = env.daemon_user("displink")
    sim = env.Simdev(buses=(bus,), gpio=pin)
    try:
        d = env.Daemon(env.program("displinkd"), ["-n", "-d"], files=dict(users, **{NXP_CONF: conf}), simdev=sim)
        env.wait_until(lambda: d.running() and d.status_field("Uid")[0] == str(uid), 10, "the privilege drop")
        assert d.stop() == 0, d.output()
        assert not any("Daemon failed" in line or "could not" in line for line in d.output()), d.output()
        d.cleanup()
    finally:
        sim.close()


def test_coaxlinkd_accepts_the_shipped_key_file(root):
    """Key file and enable line pass; the daemon gets as far as the (absent) capture-mode service."""
    env.require_environment()
    conf = (root / SDI_CONF[1:]).read_text()
    sim = env.Simdev(buses=(), gpio=None)
    try:
        d = env.Daemon(env.program("coaxlinkd"), ["-n"], files={SDI_CONF: conf}, simdev=sim,
                       env={"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus"})
        d.wait_line("Daemon failed, unable to get capture mode settings")
        d.stop()
        assert not any("configuration could not be read" in line or "SDI chip could not" in line
                       for line in d.output()), d.output()
        d.cleanup()
    finally:
        sim.close()


def test_rrd_helper_works_from_its_installed_place(root, tmp_path):
    """The helpers are run by full path on an image, away from the source tree."""
    r = subprocess.run([str(root / "usr/libexec/tessel/rrd-create"), str(tmp_path / "tx1")],
                       capture_output=True, text=True, timeout=60, cwd="/")
    assert r.returncode == 0, r.stderr
    assert len(list((tmp_path / "tx1").glob("*.rrd"))) > 10
