"""The systemd units as installed: `systemd-analyze verify` clean with the programs and manual
pages where the units name them, the sandbox's exposure bounded, the settings each program cannot
do without, and the users that sysusers creates being the ones the daemons drop to."""
import os
import re
import shutil
import subprocess

import pytest

from test_install import UNITS, install

PRIVATE = ["unshare", "--mount", "--propagation", "private", "sh", "-c"]


def tool(name):
    path = shutil.which(name)
    assert path, f"{name} is not installed (scripts/setup installs it)"
    return path


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    return install(tmp_path_factory.mktemp("destdir"))


def unit(root, name):
    """{key: [values]} of a unit file (sections merged; keys are unique across them here)."""
    out = {}
    for line in (root / "lib/systemd/system" / name).read_text().splitlines():
        m = re.match(r"^(\w+)=(.*)$", line)
        if m:
            out.setdefault(m.group(1), []).append(m.group(2))
    return out


def test_verify_is_clean_with_programs_and_pages_in_place(root):
    tool("systemd-analyze")
    # The installed programs and pages appear over /usr/bin and /usr/share/man for this run only.
    script = ('mount -t overlay overlay -o lowerdir="$0"/usr/bin:/usr/bin /usr/bin && '
              'mount -t overlay overlay -o lowerdir="$0"/usr/share/man:/usr/share/man /usr/share/man && '
              'exec systemd-analyze verify "$@"')
    units = [str(root / "lib/systemd/system" / u) for u in UNITS]
    r = subprocess.run(PRIVATE + [script, str(root)] + units, capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout + r.stderr) == (0, "")


def test_verify_notices_a_missing_program(root, tmp_path):
    """The check above is only worth something if verify looks at ExecStart."""
    assert not os.path.exists("/usr/bin/displinkd"), "cannot run: this machine has a /usr/bin/displinkd of its own"
    r = subprocess.run([tool("systemd-analyze"), "verify", "--man=no", str(root / "lib/systemd/system/displinkd.service")],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode != 0 and "/usr/bin/displinkd" in r.stderr


@pytest.mark.parametrize("name,limit", [("tesseltx@.service", 2.0), ("appbootstrap.service", 2.0),
                                        ("displinkd.service", 2.5), ("coaxlinkd.service", 2.5)])
def test_exposure_stays_low(root, name, limit):
    path = root / "lib/systemd/system" / name
    r = subprocess.run([tool("systemd-analyze"), "security", "--offline=yes", "--no-pager", str(path)],
                       capture_output=True, text=True, timeout=60)
    m = re.search(r"Overall exposure level for \S+: ([\d.]+)", r.stdout + r.stderr)
    assert m, r.stdout + r.stderr
    assert float(m.group(1)) <= limit


@pytest.mark.parametrize("name,key,needed", [
    # Comes back after a ping time-out or ring overrun (status 0), not after a configuration error.
    ("tesseltx@.service", "RestartPreventExitStatus", ["255"]),
    # The peer description in /tmp is read by other programs of the device.
    ("tesseltx@.service", "PrivateTmp", ["no"]),
    ("tesseltx@.service", "ReadWritePaths", ["/tmp"]),
    # Forking would end a Type=simple service at once.
    ("displinkd.service", "ExecStart", ["/usr/bin/displinkd --no-daemon"]),
    ("coaxlinkd.service", "ExecStart", ["/usr/bin/coaxlinkd --no-daemon"]),
    # The devices, and the GPIO files in sysfs, that the sandbox must leave reachable.
    ("displinkd.service", "DeviceAllow", ["/dev/cam0 rw", "char-i2c rw", "char-alsa rw"]),
    ("coaxlinkd.service", "DeviceAllow", ["/dev/cam0 rw", "char-alsa rw"]),
    ("displinkd.service", "ProtectKernelTunables", ["no"]),
    ("coaxlinkd.service", "ProtectKernelTunables", ["no"]),
])
def test_unit_settings_the_program_depends_on(root, name, key, needed):
    assert unit(root, name).get(key) == needed


def test_environment_example_sets_what_the_unit_reads(root):
    example = (root / "usr/share/doc/tessel/examples/tesseltx-example.conf").read_text()
    assigned = re.findall(r"^(\w+)=", example, re.M)
    used = re.findall(r"\$\{?(\w+)", unit(root, "tesseltx@.service")["ExecStart"][0])
    assert assigned == used == ["TESSELTX_OPTIONS"]
    options = re.search(r"^TESSELTX_OPTIONS=(.*)$", example, re.M).group(1).split()
    assert '"' not in " ".join(options) and "'" not in " ".join(options), "systemd does not unquote"


def test_sysusers_creates_the_users_the_daemons_drop_to(root, tmp_path):
    target = tmp_path / "image"
    (target / "etc").mkdir(parents=True)
    r = subprocess.run([tool("systemd-sysusers"), "--root", str(target), str(root / "usr/lib/sysusers.d/tessel.conf")],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    users = {line.split(":")[0]: line.split(":") for line in (target / "etc/passwd").read_text().splitlines()}
    groups = {line.split(":")[0] for line in (target / "etc/group").read_text().splitlines()}
    for name in ("tessel", "displink", "coaxlink"):
        assert name in users and name in groups
        assert 0 < int(users[name][2]) < 1000, "a system user"
        assert users[name][6] in ("/usr/sbin/nologin", "/sbin/nologin")
    assert unit(root, "tesseltx@.service")["User"] == ["tessel"]
