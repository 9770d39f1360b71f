"""coaxlinkd as a process: a private system bus with the capture-mode service and the video
pipeline's state, the simulated FPGA behind "/dev/cam0" and GPIO tree, and the daemon's fixed
files (key file, device parameters, user "coaxlink") in a private mount namespace."""
import os
import re
import time

import pytest

import daemon_env as env

CONF = "/usr/share/coaxlinkd/sdi_lmh0303.conf"
SETTINGS = "/etc/settingstore.conf"
ENABLE_PIN = 23
ATTACH, WRITE = 0x800C2A8B, 0x800C2A80
OUTPUT_ENABLE, PAYLOAD_ID, AUDIO_CONTROL, TABLE_PORT = 0x80000004, 0x80000014, 0x80000018, 0x80000020
CAPTURE_MOCK = os.path.join(env.FIXTURES, "capture_mode_mock.py")
CAPTURE_NAME = "com.vexo.CaptureMode1"
PASSWORD_SET = "[Parameters]\nroot.System.RootPwdSet=yes\n"

STATUS_0 = [0x85, 0x08, 0x2C, 0x00] + [0] * 19 + [0x6E]
STATUS_1 = [0x85, 0x08, 0x2C, 0x01] + [0] * 19 + [0x88]
# Everything fpga_init writes after the identifier, in order.
TABLES = ([(TABLE_PORT, (16 + n) | b << 8) for n, b in enumerate(STATUS_0)] +
          [(TABLE_PORT, (40 + n) | b << 8) for n, b in enumerate(STATUS_1)] +
          [(AUDIO_CONTROL, 9), (OUTPUT_ENABLE, 1)])


def key_file(pin=ENABLE_PIN, bus="KESTRA_I2C_BUS3_SDA0", addr="0x1a", drop=None):
    keys = [("GPIO", "SdiIntPin", "11"), ("GPIO", "SdiChipEnablePin", str(pin)),
            ("I2C", "I2CBusID", bus), ("I2C", "I2CAddr", addr)]
    text = ""
    for group in ("GPIO", "I2C"):
        text += f"[{group}]\n"
        text += "".join(f"{k}={v}\n" for g, k, v in keys if g == group and k != drop)
    return text


def modes(*entries):
    """Mode dictionaries from (name, current) pairs."""
    return [{"res_set_name": n, "current": c} for n, c in entries]


class UserBus:
    """A private system bus whose dbus-daemon knows the user "coaxlink": the daemon connects
    after dropping root, and a bus that cannot resolve the connecting uid closes the connection."""

    def __init__(self, workdir, users):
        self.address = f"unix:path={workdir}/system_bus_socket"
        self.proc = env.Daemon("dbus-daemon", ["--nofork", "--print-address=1",
                                               f"--config-file={env.FIXTURES}/private-system-bus.conf",
                                               f"--address={self.address}"], files=users, workdir=workdir)
        self.proc.wait_line(re.compile(r"^unix:"))
        os.chmod(f"{workdir}/system_bus_socket", 0o777)
        self.mocks = []

    name_has_owner = env.PrivateBus.name_has_owner

    def stop(self):
        for m in self.mocks:
            env.stop_process(m)
        self.proc.cleanup()


class Rig:
    def __init__(self):
        env.require_environment()
        self.workdir = env.make_workdir()
        _, _, self.users = env.daemon_user("coaxlink")
        self.bus = UserBus(self.workdir, self.users)
        self.sim = env.Simdev(buses=(), gpio=None)
        self.daemons = []

    def capture_service(self, **params):
        env.start_mock(self.bus, CAPTURE_MOCK, CAPTURE_NAME, params)

    def video(self, started=False):
        env.start_video_control(self.bus, started)

    def run(self, *args, conf=None, settings=PASSWORD_SET, users=None, bus_address=None):
        files = dict(self.users if users is None else users)
        files[CONF] = key_file() if conf is None else conf
        files[SETTINGS] = settings
        d = env.Daemon(env.program("coaxlinkd"), ["-n", *args], files=files, simdev=self.sim,
                       env={"DBUS_SYSTEM_BUS_ADDRESS": bus_address or self.bus.address},
                       workdir=self.workdir)
        self.daemons.append(d)
        return d

    def requests(self):
        """The FPGA requests: (code, w0, w1, w2, result)."""
        out = []
        for line in self.sim.ask("fpga-log"):
            words, result = line.split(" -> ")
            code, w0, w1, w2 = words.split()
            out.append((int(code, 16), int(w0, 0), int(w1, 0), int(w2, 0), int(result.split()[0])))
        return out

    def writes(self):
        return [(w0, w1) for code, w0, w1, _, _ in self.requests() if code == WRITE]

    def attaches(self):
        return [(w0, w1, w2) for code, w0, w1, w2, _ in self.requests() if code == ATTACH]

    def gpio(self):
        line = self.sim.ask(f"gpio-state {ENABLE_PIN}")[0]
        return dict(kv.split("=") for kv in line.split())

    def levels(self):
        return [int(line.split()[1]) for line in self.sim.ask(f"gpio-history {ENABLE_PIN}")]

    def close(self):
        for d in self.daemons:
            d.cleanup()
        self.sim.close()
        self.bus.stop()


@pytest.fixture
def rig():
    r = Rig()
    yield r
    r.close()


def ends_with(daemon, status, *messages):
    """The program exits with `status` after printing `messages` (to standard output once the
    log is routed there, to standard error before that)."""
    assert daemon.wait_exit() == status
    text = "\n".join(daemon.output()) + "\n" + daemon.stderr.decode("utf-8", "replace")
    for m in messages:
        assert m in text, f"{m!r} missing from {text!r}"


# --- the capture mode and what it programs --------------------------------------------------------

@pytest.mark.parametrize("mode, payload", [
    ("1080i60", 0x80 << 16 | 0x0B << 8 | 0x89),
    ("1080p50", 0x80 << 16 | 0xC9 << 8 | 0x89),
    ("720p50", 0x00 << 16 | 0x49 << 8 | 0x84),
])
def test_setup_fpga_programs_the_mode_before_video(rig, mode, payload):
    rig.capture_service(channels=[{"name": "Channel0", "modes": modes((mode, True))}])
    rig.video(started=False)
    d = rig.run("--setup-fpga")
    env.wait_until(lambda: len(rig.writes()) == 1 + len(TABLES), 10, "the FPGA set-up")
    assert rig.attaches() == [(1, 0x1a, 3)]
    assert rig.writes() == [(PAYLOAD_ID, payload)] + TABLES
    # Every write goes to the device the attach handed out.
    dev = rig.requests()[0][4]
    assert {r[3] for r in rig.requests() if r[0] == WRITE} == {dev}
    # The set-up also switched the cable driver on; video has not started.
    assert rig.gpio()["value"] == "1"
    assert "Enabling SDI output" not in d.output()
    assert d.stop() == 0


def test_rate_without_code_leaves_the_rate_bits_clear_and_goes_on(rig):
    rig.capture_service(channels=[{"name": "Channel0", "modes": modes(("1080p24", True))}])
    rig.video(started=False)
    d = rig.run("--setup-fpga")
    d.wait_line("Unsupported picture rate 24")
    env.wait_until(lambda: len(rig.writes()) == 1 + len(TABLES), 10, "the FPGA set-up")
    assert rig.writes() == [(PAYLOAD_ID, 0x80C089)] + TABLES


@pytest.mark.parametrize("mode, messages", [
    ("576i50", ["Unsupported capture mode 576"]),
    ("1080x50", ["Unsupported scanning mode x"]),
    ("p1080", ["Failed to parse p capture mode string: p1080", "Unable to get capture mode"]),
])
def test_rejected_mode_writes_nothing_after_the_attach(rig, mode, messages):
    rig.capture_service(channels=[{"name": "Channel0", "modes": modes((mode, True))}])
    rig.video(started=False)
    d = rig.run("--setup-fpga")
    for m in messages:
        d.wait_line(m)
    assert [r[0] for r in rig.requests()] == [ATTACH]
    assert rig.gpio()["value"] == "0"
    assert d.stop() == 0


def test_mode_comes_from_the_last_channel_and_its_current_entry(rig):
    rig.capture_service(channels=[
        {"name": "Channel0", "modes": modes(("1080p50", True))},
        {"name": "Channel1", "modes": modes(("720p50", False), ("1080i60", True), ("720p60", False))},
    ])
    rig.video(started=False)
    d = rig.run("--setup-fpga")
    env.wait_until(lambda: rig.writes(), 10, "the identifier")
    assert rig.writes()[0] == (PAYLOAD_ID, 0x800B89)
    assert d.stop() == 0


# --- the capture-mode service's failures ----------------------------------------------------------

FATAL = "Daemon failed, unable to get capture mode settings"
P = "coaxlinkd_config:"


@pytest.mark.parametrize("service, expected", [
    (None, [re.compile(rf"^{P}280 \[coaxlinkd_config_get_capt_settings\] Failed to get capture mode "
                       r"channel settings\. .*com\.vexo\.CaptureMode1")]),
    ({"list_fail": "no channels today"},
     [f"{P}280 [coaxlinkd_config_get_capt_settings] Failed to get capture mode channel settings. "
      "GDBus.Error:com.vexo.CaptureMode1.Error.Failed: no channels today"]),
    ({"list_strings": True},
     [re.compile(rf"^{P}280 \[coaxlinkd_config_get_capt_settings\] .*'\(as\)'")]),
    ({"channels": []}, [f"{P}298 [coaxlinkd_config_get_capt_settings] Could not get capture mode configuration"]),
    ({"channels": [{"name": "Channel0", "fail": "modes broken"}]},
     [f"{P}317 [coaxlinkd_config_get_capt_settings] Failed to get capture mode configuration. "
      "GDBus.Error:com.vexo.CaptureMode1.Error.Failed: modes broken"]),
], ids=["no_service", "list_error", "list_wrong_type", "no_channel", "modes_error"])
def test_capture_service_failure_stops_start_up(rig, service, expected):
    if service is not None:
        rig.capture_service(**service)
    d = rig.run()
    for e in expected:
        d.wait_line(e)
    d.wait_line(FATAL)
    assert d.wait_exit() == 1
    assert rig.requests() == []


def test_unreachable_bus_is_a_proxy_failure(rig):
    d = rig.run(bus_address=f"unix:path={rig.workdir}/no_bus_here")
    d.wait_line(re.compile(rf"^{P}74 \[set_proxy\] Could not connect to proxy: "))
    d.wait_line(FATAL)
    assert d.wait_exit() == 1


@pytest.mark.parametrize("channel_modes", [[], modes(("1080p50", False))], ids=["empty", "none_current"])
def test_no_current_mode_is_not_fatal_but_programs_nothing(rig, channel_modes):
    rig.capture_service(channels=[{"name": "Channel0", "modes": channel_modes}])
    rig.video(started=True)
    d = rig.run()
    if not channel_modes:
        d.wait_line(f"{P}154 [unpack_capture_mode_property] Did not get Capture mode data")
    d.wait_line("Enabling SDI output")
    d.wait_line("Unable to get capture mode.")
    d.wait_line("Unable to get capture mode")
    assert [r[0] for r in rig.requests()][:1] == [ATTACH]
    assert PAYLOAD_ID not in [w[0] for w in rig.writes()]
    assert d.stop() == 0


# --- video start and the end -------------------------------------------------------------------

def test_setup_fpga_programs_again_at_video_start_and_sigterm_switches_off(rig):
    rig.capture_service()
    rig.video(started=False)
    d = rig.run("--setup-fpga")
    env.wait_until(lambda: len(rig.writes()) == 1 + len(TABLES), 10, "the first set-up")
    assert rig.attaches() == [(1, 0x1a, 3)]

    env.set_video_started(rig.bus, True)
    d.wait_line("Enabling SDI output")
    env.wait_until(lambda: len(rig.attaches()) == 2 and OUTPUT_ENABLE in [w[0] for w in rig.writes()[52:]],
                   10, "the second set-up")
    second = rig.writes()[1 + len(TABLES):]
    # The whole set-up again, then the output switched on once more by the start itself.
    assert second[:1 + len(TABLES)] == [(PAYLOAD_ID, 0x80C989)] + TABLES
    assert second[1 + len(TABLES):] == [(OUTPUT_ENABLE, 1)]
    dev = rig.requests()[-1][3]
    assert rig.sim.ask(f"fpga-reg {dev} {OUTPUT_ENABLE}") == ["0x00000001"]
    state = rig.gpio()
    assert state["direction"] == "out" and state["value"] == "1"

    d.signal()
    assert d.wait_exit() == 0
    assert "Terminating" in d.output()
    assert rig.writes()[-1] == (OUTPUT_ENABLE, 0)
    assert rig.sim.ask(f"fpga-reg {dev} {OUTPUT_ENABLE}") == ["0x00000000"]
    assert rig.levels()[-1] == 0


def test_video_already_started_switches_output_and_driver_on(rig):
    rig.capture_service()
    rig.video(started=True)
    d = rig.run()
    d.wait_line("Enabling SDI output")
    env.wait_until(lambda: rig.writes()[-1:] == [(OUTPUT_ENABLE, 1)] and len(rig.writes()) == 2 + len(TABLES),
                   10, "the output switched on")
    assert rig.gpio()["value"] == "1"
    # The cable driver's line started low and went high only at video start.
    assert rig.levels()[0] == 0
    d.signal()
    assert d.wait_exit() == 0
    assert rig.writes()[-1] == (OUTPUT_ENABLE, 0)
    assert rig.levels()[-1] == 0


def test_sigterm_before_video_touches_no_register(rig):
    rig.capture_service()
    rig.video(started=False)
    uid, _, users = env.daemon_user("coaxlink")
    d = rig.run("--enable-sdi", users=users)
    # Past the privilege drop the daemon waits for video; -e changes nothing about that.
    env.wait_until(lambda: d.status_field("Uid")[0] == str(uid), 10, "the privilege drop")
    time.sleep(0.5)
    d.signal()
    assert d.wait_exit() == 0
    assert "Terminating" in d.output()
    assert rig.requests() == []


def test_failed_writes_are_logged_and_the_sequence_goes_on(rig):
    rig.capture_service()
    rig.video(started=False)
    rig.sim.ask(f"fpga-fail {WRITE} 5")
    d = rig.run("--setup-fpga")
    env.wait_until(lambda: len(rig.writes()) == 1 + len(TABLES), 10, "every write attempted")
    env.wait_until(lambda: d.output().count("CAM_IOC_EXTERN_WRITE: Input/output error") == 1 + len(TABLES),
                   5, "one message per write")
    assert d.stop() == 0


def test_failed_attach_writes_nothing(rig):
    rig.capture_service()
    rig.video(started=False)
    rig.sim.ask(f"fpga-fail {ATTACH} 19")
    d = rig.run("--setup-fpga")
    d.wait_line("CAM_IOC_EXTERN_ATTACH: No such device")
    d.wait_line("SDI i2c failed init")
    assert rig.writes() == []
    assert d.stop() == 0


# --- configuration and the enable line -----------------------------------------------------------

@pytest.mark.parametrize("bus, addr, attach, message", [
    ("KESTRA_I2C_BUS0_SDA0", "20", (1, 0x20, 0), None),
    ("KESTRA_I2C_BUS7_SDA0", "0x7F", (1, 0x7F, 7), None),
    ("KESTRA_I2C_BUS_MAX", "a", (1, 0xA, 9), None),
    ("HDMI_BUS", "10", (1, 0x10, 8), f"{P}103 [str2enum] No such string"),
])
def test_bus_identifier_and_hex_address_reach_the_attach(rig, bus, addr, attach, message):
    rig.capture_service()
    rig.video(started=False)
    d = rig.run("--setup-fpga", conf=key_file(bus=bus, addr=addr))
    env.wait_until(lambda: rig.attaches(), 10, "the attach")
    assert rig.attaches() == [attach]
    assert d.stop() == 0
    if message:
        # Logged before the log is routed: GLib's own writer decorates the line.
        assert any(line.endswith(message) for line in d.output() + d.stderr.decode().splitlines())


R = P


@pytest.mark.parametrize("drop, message", [
    ("SdiIntPin", f"{R}203 [coaxlinkd_config_read] Failed to read required config file parameter: SdiIntPin"),
    ("SdiChipEnablePin", f"{R}214 [coaxlinkd_config_read] Failed to read required config file parameter: "
                         "SdiChipEnablePin, 3"),
    ("I2CBusID", f"{R}225 [coaxlinkd_config_read] Failed to get I2CBusID key, error code = 3, error message = "),
    ("I2CAddr", f"{R}239 [coaxlinkd_config_read] Failed to get I2CAddr key, error code = 3, error message = "),
])
def test_each_missing_key_stops_start_up(rig, drop, message):
    d = rig.run(conf=key_file(drop=drop))
    ends_with(d, 1, message, "Daemon failed, configuration could not be read")
    assert rig.gpio()["exported"] == "0"


def test_missing_key_file(rig):
    files = dict(rig.users)
    d = env.Daemon(env.program("coaxlinkd"), ["-n"], files=files, simdev=rig.sim,
                   env={"DBUS_SYSTEM_BUS_ADDRESS": rig.bus.address}, workdir=rig.workdir)
    rig.daemons.append(d)
    ends_with(d, 1, f"{R}192 [coaxlinkd_config_read] Failed to load config file at: {CONF}",
              "Daemon failed, configuration could not be read")


def test_enable_line_that_cannot_be_had_stops_start_up(rig):
    d = rig.run(conf=key_file(pin=600))
    ends_with(d, 1, "Failed when requesting gpio 600", "SDI chip could not be initialized.")


def test_command_line_error(rig):
    d = rig.run("--bogus")
    ends_with(d, 1, "Unknown option --bogus\nTry -? or --help for more information.\n")


# --- privileges and the set-up gate ----------------------------------------------------------------

def test_runs_as_coaxlink(rig):
    uid, gid, users = env.daemon_user("coaxlink")
    rig.capture_service()
    rig.video(started=False)
    d = rig.run(users=users)
    env.wait_until(lambda: d.status_field("Uid")[0] == str(uid), 10, "the privilege drop")
    assert d.status_field("Gid")[:2] == [str(gid), str(gid)]
    assert d.stop() == 0


@pytest.mark.parametrize("missing, message", [
    ("user", 'Couldn\'t get uid for user "coaxlink".'),
    ("group", 'Couldn\'t get gid for group "coaxlink".'),
])
def test_privilege_drop_failure(rig, missing, message):
    _, _, users = env.daemon_user("coaxlink")
    with open("/etc/passwd", encoding="utf-8") as f:
        machine_passwd = f.read()
    with open("/etc/group", encoding="utf-8") as f:
        machine_group = f.read()
    if missing == "user":
        users["/etc/passwd"] = machine_passwd
    else:
        users["/etc/group"] = machine_group
    rig.capture_service()
    rig.video(started=False)
    d = rig.run(users=users)
    d.wait_line(message)
    d.wait_line("Failed setting uid and gid of the process.")
    assert d.wait_exit() == 1
    assert rig.gpio()["exported"] == "0"


@pytest.mark.parametrize("settings", ["[Parameters]\nroot.System.RootPwdSet=no\n", "[Parameters]\n"],
                         ids=["not_set", "parameter_missing"])
def test_nothing_happens_until_the_password_is_set(rig, settings):
    rig.capture_service()
    rig.video(started=True)
    d = rig.run(settings=settings)
    time.sleep(2.5)
    assert "Enabling SDI output" not in d.output()
    assert rig.requests() == []
    d.update_file(SETTINGS, "[Parameters]\nroot.System.RootPwdSet=yes\n")
    d.wait_line("Enabling SDI output", timeout=5)
    env.wait_until(lambda: (OUTPUT_ENABLE, 1) in rig.writes(), 5, "the output")
    assert d.stop() == 0
