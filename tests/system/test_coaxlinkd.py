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
PASSWORD_SET = "[Parameters]\nroot.System.RootPwdSet=yes\n"
ENABLE_PIN = 23
ATTACH, WRITE = 0x800C2A8B, 0x800C2A80
OUTPUT_ENABLE, PAYLOAD_ID, AUDIO_CONTROL, TABLE_PORT = 0x80000004, 0x80000014, 0x80000018, 0x80000020
CAPTURE_MOCK = os.path.join(env.FIXTURES, "capture_mode_mock.py")
CAPTURE_NAME = "com.vexo.CaptureMode1"
P = "coaxlinkd_config:"
FATAL_MODE = "Daemon failed, unable to get capture mode settings"
FATAL_CONF = "Daemon failed, configuration could not be read"

STATUS_0 = [0x85, 0x08, 0x2C, 0x00] + [0] * 19 + [0x6E]
STATUS_1 = [0x85, 0x08, 0x2C, 0x01] + [0] * 19 + [0x88]
# What fpga_init writes after the identifier, in order.
TABLES = ([(TABLE_PORT, (16 + n) | b << 8) for n, b in enumerate(STATUS_0)] +
          [(TABLE_PORT, (40 + n) | b << 8) for n, b in enumerate(STATUS_1)] +
          [(AUDIO_CONTROL, 9), (OUTPUT_ENABLE, 1)])
SETUP_WRITES = 1 + len(TABLES)


def key_file(pin=ENABLE_PIN, bus="KESTRA_I2C_BUS3_SDA0", addr="0x1a", drop=None):
    keys = {"GPIO": [("SdiIntPin", "11"), ("SdiChipEnablePin", str(pin))],
            "I2C": [("I2CBusID", bus), ("I2CAddr", addr)]}
    return "".join(f"[{g}]\n" + "".join(f"{k}={v}\n" for k, v in kv if k != drop) for g, kv in keys.items())


def channel(*entries, name="Channel0"):
    """A channel whose modes are (name, current) pairs."""
    return {"name": name, "modes": [{"res_set_name": n, "current": c} for n, c in entries]}


class Rig:
    def __init__(self):
        env.require_environment()
        self.workdir = env.make_workdir()
        self.uid, self.gid, self.users = env.daemon_user("coaxlink")
        # The bus resolves the uid of every connection: the daemon connects after dropping root.
        self.bus = env.PrivateBus(self.workdir, files=self.users)
        try:
            self.sim = env.Simdev(buses=(), gpio=None)
        except BaseException:
            # A failed set-up must not leave its bus daemon running behind the test.
            self.bus.stop()
            raise
        self.daemons = []

    def start(self, *args, video=False, service=None, **run_args):
        """The services (`service`: the capture-mode mock's parameters, None: no service), then
        the daemon."""
        if service is not None:
            env.start_mock(self.bus, CAPTURE_MOCK, CAPTURE_NAME, service)
        env.start_video_control(self.bus, video)
        return self.run(*args, **run_args)

    def run(self, *args, conf=key_file(), settings=PASSWORD_SET, users=None, bus_address=None):
        files = dict(self.users if users is None else users, **{SETTINGS: settings})
        if conf is not None:
            files[CONF] = conf
        d = env.Daemon(env.program("coaxlinkd"), ["-n", *args], files=files, simdev=self.sim,
                       env={"DBUS_SYSTEM_BUS_ADDRESS": bus_address or self.bus.address},
                       workdir=self.workdir)
        self.daemons.append(d)
        return d

    def requests(self):
        """The FPGA requests as (code, w0, w1, w2, result)."""
        out = []
        for line in self.sim.ask("fpga-log"):
            words, result = line.split(" -> ")
            out.append(tuple(int(w, 0) for w in words.split()) + (int(result.split()[0]),))
        return out

    def writes(self):
        return [(w0, w1) for code, w0, w1, _, _ in self.requests() if code == WRITE]

    def attaches(self):
        return [(w0, w1, w2) for code, w0, w1, w2, _ in self.requests() if code == ATTACH]

    def wait_writes(self, count):
        env.wait_until(lambda: len(self.writes()) >= count, 10, f"{count} register writes")
        time.sleep(0.2)  # nothing more may follow
        assert len(self.writes()) == count, self.writes()

    def gpio(self):
        line = self.sim.ask(f"gpio-state {ENABLE_PIN}")[0]
        return dict(kv.split("=") for kv in line.split())

    def levels(self):
        return [int(line.split()[1]) for line in self.sim.ask(f"gpio-history {ENABLE_PIN}")]

    def past_drop(self, d):
        env.wait_until(lambda: d.status_field("Uid")[0] == str(self.uid), 10, "the privilege drop")

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
    """The program exits with `status` after logging `messages`; before the log is routed to
    standard output, GLib's own writer prefixes the lines."""
    assert daemon.wait_exit() == status
    lines = daemon.output() + daemon.stderr.decode("utf-8", "replace").splitlines()
    for m in messages:
        assert any(line.endswith(m) for line in lines), f"{m!r} missing from {lines!r}"


# --- the capture mode and what it programs --------------------------------------------------------

# Identifier values per mode are the unit suite's; these rows prove the writes and the refusals.
@pytest.mark.parametrize("mode, payload, message", [
    ("1080i60", 0x80 << 16 | 0x0B << 8 | 0x89, None),
    ("1080p24", 0x80 << 16 | 0xC0 << 8 | 0x89, "Unsupported picture rate 24"),
    ("576i50", None, "Unsupported capture mode 576"),
    ("1080x50", None, "Unsupported scanning mode x"),
])
def test_setup_fpga_programs_the_mode_before_video(rig, mode, payload, message):
    d = rig.start("--setup-fpga", service={"channels": [channel((mode, True))]})
    if message:
        d.wait_line(message)
    if payload is None:
        # Rejected: nothing is written after the attach, the cable driver stays off.
        rig.past_drop(d)
        assert rig.attaches() == [(1, 0x1a, 3)] and rig.writes() == []
        assert rig.gpio()["value"] == "0"
    else:
        rig.wait_writes(SETUP_WRITES)
        assert rig.attaches() == [(1, 0x1a, 3)]
        assert rig.writes() == [(PAYLOAD_ID, payload)] + TABLES
        # Every write goes to the device the attach handed out.
        dev = rig.requests()[0][4]
        assert {r[3] for r in rig.requests()[1:]} == {dev}
        assert rig.gpio()["value"] == "1"
    assert "Enabling SDI output" not in d.output()
    assert d.stop() == 0


def test_mode_comes_from_the_last_channel_and_its_current_entry(rig):
    d = rig.start("--setup-fpga", service={"channels": [
        channel(("1080p50", True)),
        channel(("720p50", False), ("1080i60", True), ("720p60", False), name="Channel1")]})
    rig.wait_writes(SETUP_WRITES)
    assert rig.writes()[0] == (PAYLOAD_ID, 0x800B89)
    assert d.stop() == 0


# --- the capture-mode service's failures ----------------------------------------------------------

def remote(text):
    return f"GDBus.Error:com.vexo.CaptureMode1.Error.Failed: {text}"


@pytest.mark.parametrize("service, expected", [
    (None, re.compile(rf"^{P}280 \[coaxlinkd_config_get_capt_settings\] Failed to get capture mode "
                      r"channel settings\. .*com\.vexo\.CaptureMode1")),
    ({"list_fail": "down"}, f"{P}280 [coaxlinkd_config_get_capt_settings] Failed to get capture mode channel "
                            f"settings. {remote('down')}"),
    ({"list_strings": True}, re.compile(rf"^{P}280 \[coaxlinkd_config_get_capt_settings\] .*'\(as\)'")),
    ({"channels": []}, f"{P}298 [coaxlinkd_config_get_capt_settings] Could not get capture mode configuration"),
    ({"channels": [{"name": "Channel0", "fail": "broken"}]},
     f"{P}317 [coaxlinkd_config_get_capt_settings] Failed to get capture mode configuration. {remote('broken')}"),
    ("no bus", re.compile(rf"^{P}74 \[set_proxy\] Could not connect to proxy: ")),
], ids=["no_service", "list_error", "list_wrong_type", "no_channel", "modes_error", "no_bus"])
def test_capture_service_failure_stops_start_up(rig, service, expected):
    if service == "no bus":
        d = rig.run(bus_address=f"unix:path={rig.workdir}/no_bus_here")
    else:
        d = rig.start(service=service)
    d.wait_line(expected)
    d.wait_line(FATAL_MODE)
    assert d.wait_exit() == 1
    assert rig.requests() == []
    assert rig.gpio()["exported"] == "0"


@pytest.mark.parametrize("modes, message", [
    ([], f"{P}154 [unpack_capture_mode_property] Did not get Capture mode data"),
    ([("1080p50", False)], None),
], ids=["empty", "none_current"])
def test_no_current_mode_is_not_fatal_but_programs_nothing(rig, modes, message):
    d = rig.start(video=True, service={"channels": [channel(*modes)]})
    if message:
        d.wait_line(message)
    d.wait_line("Enabling SDI output")
    d.wait_line("Unable to get capture mode.")
    d.wait_line("Unable to get capture mode")
    # The start itself still switches the output on.
    rig.wait_writes(1)
    assert rig.writes() == [(OUTPUT_ENABLE, 1)]
    assert d.stop() == 0


# --- video start and the end -------------------------------------------------------------------

def test_setup_fpga_programs_again_at_video_start_and_sigterm_switches_off(rig):
    d = rig.start("--setup-fpga", service={})
    rig.wait_writes(SETUP_WRITES)

    env.set_video_started(rig.bus, True)
    d.wait_line("Enabling SDI output")
    # The whole set-up again, then the output switched on once more by the start itself.
    rig.wait_writes(2 * SETUP_WRITES + 1)
    assert len(rig.attaches()) == 2
    assert rig.writes()[SETUP_WRITES:] == [(PAYLOAD_ID, 0x80C989)] + TABLES + [(OUTPUT_ENABLE, 1)]
    dev = rig.requests()[-1][3]
    assert rig.sim.ask(f"fpga-reg {dev} {OUTPUT_ENABLE}") == ["0x00000001"]
    assert rig.gpio()["direction"] == "out" and rig.gpio()["value"] == "1"

    d.signal()
    assert d.wait_exit() == 0
    assert "Terminating" in d.output()
    assert rig.writes()[-1] == (OUTPUT_ENABLE, 0)
    assert rig.sim.ask(f"fpga-reg {dev} {OUTPUT_ENABLE}") == ["0x00000000"]
    assert rig.levels()[-1] == 0


def test_non_boolean_video_state_waits_for_the_change(rig):
    d = rig.start(video="yes", service={})
    d.wait_line("Did not get the expected signal")
    rig.past_drop(d)
    assert rig.requests() == []
    env.set_video_started(rig.bus, True)
    d.wait_line("Enabling SDI output")
    rig.wait_writes(SETUP_WRITES + 1)
    # The cable driver's line started low and went high only at video start.
    assert rig.levels()[0] == 0 and rig.gpio()["value"] == "1"
    d.signal()
    assert d.wait_exit() == 0
    assert rig.writes()[-1] == (OUTPUT_ENABLE, 0) and rig.levels()[-1] == 0


def test_sigterm_before_video_touches_no_register(rig):
    # -e is accepted and changes nothing: the daemon still waits for video.
    d = rig.start("--enable-sdi", service={})
    rig.past_drop(d)
    time.sleep(0.5)
    d.signal()
    assert d.wait_exit() == 0
    assert "Terminating" in d.output()
    assert rig.requests() == []


@pytest.mark.parametrize("code, errno, messages, writes", [
    (WRITE, 5, ["CAM_IOC_EXTERN_WRITE: Input/output error"] * SETUP_WRITES, SETUP_WRITES),
    (ATTACH, 19, ["CAM_IOC_EXTERN_ATTACH: No such device", "SDI i2c failed init"], 0),
], ids=["writes", "attach"])
def test_failed_requests(rig, code, errno, messages, writes):
    rig.sim.ask(f"fpga-fail {code} {errno}")
    d = rig.start("--setup-fpga", service={})
    rig.past_drop(d)
    rig.wait_writes(writes)
    assert [line for line in d.output() if line in messages] == messages
    assert d.stop() == 0


# --- configuration and the enable line -----------------------------------------------------------

@pytest.mark.parametrize("bus, addr, attach, message", [
    ("KESTRA_I2C_BUS0_SDA0", "20", (1, 0x20, 0), None),
    ("HDMI_BUS", "10", (1, 0x10, 8), f"{P}103 [str2enum] No such string"),
])
def test_bus_identifier_and_hex_address_reach_the_attach(rig, bus, addr, attach, message):
    d = rig.start("--setup-fpga", service={}, conf=key_file(bus=bus, addr=addr))
    rig.wait_writes(SETUP_WRITES)
    assert rig.attaches() == [attach]
    assert d.stop() == 0
    if message:
        ends_with(d, 0, message)


# The key file's refusals, row by row, are its unit suite's; these prove that one stops the start.
@pytest.mark.parametrize("conf, message", [
    (key_file(drop="SdiChipEnablePin"), f"{P}214 [coaxlinkd_config_read] Failed to read required config file "
                                        "parameter: SdiChipEnablePin, 3"),
    (None, f"{P}192 [coaxlinkd_config_read] Failed to load config file at: {CONF}"),
], ids=["SdiChipEnablePin", "no_file"])
def test_configuration_failure_stops_start_up(rig, conf, message):
    d = rig.run(conf=conf)
    d.wait_line(re.compile(re.escape(message) + "$"))
    ends_with(d, 1, FATAL_CONF)
    assert rig.gpio()["exported"] == "0"


def test_enable_line_that_cannot_be_had_stops_start_up(rig):
    d = rig.run(conf=key_file(pin=600))
    ends_with(d, 1, "Failed when requesting gpio 600", "SDI chip could not be initialized.")


def test_command_line_error(rig):
    d = rig.run("--bogus")
    assert d.wait_exit() == 1
    assert d.stderr.decode().endswith("Unknown option --bogus\nTry -? or --help for more information.\n")


# --- privileges and the set-up gate ----------------------------------------------------------------

def test_runs_as_coaxlink(rig):
    d = rig.start(service={})
    rig.past_drop(d)
    assert d.status_field("Gid")[:2] == [str(rig.gid)] * 2
    assert d.status_field("Groups") == [str(rig.gid)]
    assert d.stop() == 0


@pytest.mark.parametrize("missing, message", [
    ("/etc/passwd", 'Couldn\'t get uid for user "coaxlink".'),
    ("/etc/group", 'Couldn\'t get gid for group "coaxlink".'),
])
def test_privilege_drop_failure(rig, missing, message):
    users = dict(rig.users)
    with open(missing, encoding="utf-8") as f:
        users[missing] = f.read()  # the machine's own file, without "coaxlink"
    d = rig.start(service={}, users=users)
    d.wait_line(message)
    d.wait_line("Failed setting uid and gid of the process.")
    assert d.wait_exit() == 1
    assert rig.gpio()["exported"] == "0"


@pytest.mark.parametrize("settings", ["[Parameters]\nroot.System.RootPwdSet=no\n", "[Parameters]\n"],
                         ids=["not_set", "parameter_missing"])
def test_nothing_happens_until_the_password_is_set(rig, settings):
    d = rig.start(video=True, service={}, settings=settings)
    time.sleep(2.5)
    assert "Enabling SDI output" not in d.output()
    assert rig.requests() == []
    d.update_file(SETTINGS, PASSWORD_SET)
    d.wait_line("Enabling SDI output", timeout=5)
    rig.wait_writes(SETUP_WRITES + 1)
    assert d.stop() == 0
