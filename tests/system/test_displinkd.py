"""displinkd as a process: the simulated device (FPGA, transmitter chip with its CEC core and EDID
RAM, interrupt GPIO), a private system bus with the video pipeline's mock, and the daemon's fixed
files and user supplied in a private mount namespace. Every run is --no-daemon --debug-all, so
each log message is one line of standard output."""
import os
import re
import shutil
import signal
import time

import pytest

import daemon_env as de

BUS = 4
GPIO = 17
DEV = 10  # the device number simdev's FPGA hands out for the HDMI control device
CEC_ME = 1  # the logical address the daemon sets up
ACTIVE_TV = "hdmi-tv-SAM0F39-C51810233270"  # HDMI, YCbCr 4:4:4 and 4:2:2, lists 1080p50 and 720p50
NXP_CONF = "/usr/share/displinkd/nxp_tda19988.conf"
SETTINGS = "/etc/settingstore.conf"
IMAGE_SOURCE = "/etc/sysconfig/image_source.conf"

FPGA_HDMI, FPGA_SD, FPGA_PLL, FPGA_FROM720 = 0x1, 0x2, 0x4, 0x8


def settings(value):
    if value is None:
        return "[Parameters]\nother=1\n"
    return f"[Parameters]\nroot.System.RootPwdSet={value}\n"


def capture(mode):
    return f"[ImageSource.I0.Video]\nCaptureMode={mode}\n" if mode is not None else "[ImageSource.I0.Video]\n"


class Rig:
    """One test's world: the simulated device, the daemon's files and user, optionally a bus."""

    def __init__(self):
        de.require_environment()
        self.sim = de.Simdev(buses=[BUS], gpio=GPIO)
        self.workdir = de.make_workdir()
        self.uid, self.gid, users = de.daemon_user("displink")
        self.files = {
            NXP_CONF: f"[GPIO]\nHdmiIntPin={GPIO}\n[I2C]\nI2CBusNum={BUS}\n",
            SETTINGS: settings("yes"),
            IMAGE_SOURCE: capture("1080p50"),
            **users,
        }
        self.bus = None
        self.daemons = []

    def private_bus(self):
        users = {k: self.files[k] for k in ("/etc/passwd", "/etc/group")}
        self.bus = de.PrivateBus(self.workdir, files=users)
        return self.bus

    def start(self, *options, env=None, **files):
        """Runs displinkd -n -d with `options`; keyword arguments replace supplied files
        (nxp, settings, image_source, passwd, group) by their short names."""
        names = {"nxp": NXP_CONF, "settings": SETTINGS, "image_source": IMAGE_SOURCE,
                 "passwd": "/etc/passwd", "group": "/etc/group"}
        chosen = dict(self.files)
        for short, content in files.items():
            if content is None:
                chosen.pop(names[short])
            else:
                chosen[names[short]] = content
        run_env = dict(env or {})
        if self.bus is not None and "DBUS_SYSTEM_BUS_ADDRESS" not in run_env:
            run_env["DBUS_SYSTEM_BUS_ADDRESS"] = self.bus.address
        d = de.Daemon(de.program("displinkd"), ["-n", "-d", *options], files=chosen, simdev=self.sim,
                      env=run_env, workdir=self.workdir)
        self.daemons.append(d)
        return d

    # --- what the device saw -------------------------------------------------------------------
    def fpga_word(self):
        v = self.sim.ask(f"fpga-reg {DEV} 0")[0]
        return None if v == "none" else int(v, 16)

    def hdmi(self, page, reg):
        return int(self.sim.ask(f"hdmi-reg {BUS} {page} {reg}")[0], 16)

    def avi_infoframe(self):
        return [self.hdmi(0x10, 0x40 + i) for i in range(17)]

    def powered_down(self):
        return self.hdmi(0x00, 0x01) & 0x01 == 1

    def cec_sent(self):
        return self.sim.ask(f"cec-sent {BUS}")

    def wait_sent(self, count, timeout=5):
        de.wait_until(lambda: len(self.cec_sent()) >= count, timeout, f"{count} CEC frames sent")
        return self.cec_sent()

    def close(self):
        reports = []
        for d in self.daemons:
            d.cleanup()
            err = d.stderr.decode("utf-8", "replace")
            if "Sanitizer" in err or "runtime error:" in err:
                reports.append(err)
        if self.bus is not None:
            self.bus.stop()
        self.sim.close()
        shutil.rmtree(self.workdir, ignore_errors=True)
        assert reports == [], "sanitizer reports from displinkd"


@pytest.fixture
def rig():
    r = Rig()
    yield r
    r.close()


def line_released(rig):
    """The interrupt line as shutdown leaves it: no edge, an output driven high. (Unexporting is
    root's; after the privilege drop the line may stay exported.)"""
    state = dict(w.split("=") for w in rig.sim.ask(f"gpio-state {GPIO}")[0].split())
    return state["edge"] == "none" and state["direction"] == "out" and state["value"] == "1" or \
        state["exported"] == "0"


def in_order(lines, messages):
    positions = [lines.index(m) if m in lines else -1 for m in messages]
    return -1 not in positions and positions == sorted(positions)


def announcement(pa):
    """The frames sent after an EDID: Report Physical Address (device type 4) and Active Source
    broadcast, then CEC Version 4, OSD name "PTZ" and power status on to the television."""
    me = f"{CEC_ME:x}"
    return [f"{me}f84{pa:04x}04", f"{me}f82{pa:04x}", f"{me}09e04", f"{me}04750545a", f"{me}09000"]


def plug(rig, name):
    rig.sim.ask(f"plug {de.edid_path(name)} {BUS}")


def wait_running(rig, d):
    """Waits until the bring-up of --enable-hdmi is over and the signal handlers are in place:
    the interrupt line's edge is armed last, and the handlers follow at once."""
    d.wait_line("Enabling HDMI output")
    de.wait_until(lambda: "edge=falling" in rig.sim.ask(f"gpio-state {GPIO}")[0], 10,
                  "the interrupt line armed")
    time.sleep(0.3)


def started_output(d, timeout=10):
    """Waits for the bring-up's last visible step: the interrupt line's source is in place once
    the daemon reacts to a sink, so wait for the start line and the set-up debug line."""
    d.wait_line("Enabling HDMI output", timeout)
    d.wait_line("Initializing hdmi transmitter", timeout)


def bring_up_with_sink(rig, edid, *options, **files):
    d = rig.start("--enable-hdmi", *options, **files)
    started_output(d)
    if "--enable-cec" in options:
        d.wait_line(re.compile(r"^(Register callback done for CEC|CEC core failed initialization)"))
    time.sleep(0.2)  # the interrupt source is attached right after the transmitter's bring-up
    plug(rig, edid)
    d.wait_line(re.compile(r"^(All edid blocks are read|EDID extension checksum wrong|Invalid edid status)"))
    return d


def wait_format_decision(d, start=0):
    return d.wait_line(re.compile(r"^(Output color mode: |Failed to select compatible video config|"
                                  r"Set video format failed)"), start=start)


# --- the set-up gate -----------------------------------------------------------------------------

def test_nothing_touches_the_hardware_until_the_password_reads_yes(rig):
    d = rig.start("--enable-hdmi", settings=settings("no"))
    d.wait_line("Starting displinkd")
    # Values that are not exactly "yes", each left in place for more than one poll.
    for value in ["no", None, "YES", "yess"]:
        d.update_file(SETTINGS, settings(value))
        time.sleep(1.3)
        assert rig.sim.ask("fpga-log") == [], value
        assert rig.sim.ask(f"i2c-log {BUS}") == [], value
        assert "Enabling HDMI output" not in d.output()
    asked = time.monotonic()
    d.update_file(SETTINGS, settings("yes"))
    d.wait_line("Enabling HDMI output", timeout=3)
    assert time.monotonic() - asked < 2.5  # re-read once a second
    de.wait_until(lambda: rig.sim.ask("fpga-log") != [], 3, "the FPGA's first request")
    assert d.output().count("Enabling HDMI output") == 1
    d.signal()
    assert d.wait_exit() == 0


# --- the wait for video ----------------------------------------------------------------------------

def test_video_started_true_when_the_name_appears_starts_once(rig):
    bus = rig.private_bus()
    de.start_video_control(bus, True)
    d = rig.start()
    d.wait_line(re.compile(r"^Name com\.vexo\.VideoControl is owned by :"))
    d.wait_line("VideoStarted = TRUE")
    d.wait_line("Enabling HDMI output")
    # No subscription was made: later changes are not acted on.
    de.set_video_started(bus, False)
    de.set_video_started(bus, True)
    time.sleep(0.5)
    assert d.output().count("Enabling HDMI output") == 1
    assert not any(line.startswith("SIGNAL") for line in d.output())


@pytest.mark.parametrize("initial, warned", [(False, False), ("yes", True), (1, True)])
def test_a_later_change_to_true_starts_once_even_when_the_name_appears_late(rig, initial, warned):
    bus = rig.private_bus()
    d = rig.start()
    d.wait_line("Starting displinkd")
    time.sleep(0.5)  # the daemon watches a name nobody owns yet
    de.start_video_control(bus, initial)
    if warned:
        d.wait_line("Did not get the expected signal")
    else:
        d.wait_line("VideoStarted = FALSE")
    # Changes that are not boolean true are not acted on.
    de.set_video_started(bus, "true")
    de.set_video_started(bus, False)
    time.sleep(0.5)
    assert "Enabling HDMI output" not in d.output()
    assert rig.sim.ask("fpga-log") == []
    de.set_video_started(bus, True)
    d.wait_line("SIGNAL VideoStarted")
    d.wait_line("Enabling HDMI output")
    de.set_video_started(bus, False)
    de.set_video_started(bus, True)
    time.sleep(0.5)
    assert d.output().count("Enabling HDMI output") == 1
    assert d.output().count("SIGNAL VideoStarted") == 1
    d.signal()
    assert d.wait_exit() == 0


def test_enable_hdmi_never_uses_dbus(rig, tmp_path):
    import socket
    trap_path = os.path.join(rig.workdir, "trap_socket")
    trap = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    trap.bind(trap_path)
    os.chmod(trap_path, 0o777)
    trap.listen(4)
    trap.setblocking(False)
    try:
        d = rig.start("--enable-hdmi", env={"DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={trap_path}"})
        wait_running(rig, d)
        d.signal()
        assert d.wait_exit() == 0
        with pytest.raises(BlockingIOError):
            trap.accept()
    finally:
        trap.close()


# --- the format choice -----------------------------------------------------------------------------

def derived_422_only(tmp_dir):
    """hdmi-tv-SHP10A1 with its CEA extension's YCbCr 4:4:4 bit cleared (checksum kept right): an
    HDMI sink that takes only 4:2:2."""
    data = bytearray(open(de.edid_path("hdmi-tv-SHP10A1-73896C10E666"), "rb").read())
    assert data[128] == 0x02 and data[128 + 3] & 0x30 == 0x30
    data[128 + 3] &= ~0x20 & 0xFF
    data[255] = (-sum(data[128:255])) & 0xFF
    path = os.path.join(tmp_dir, "ycbcr422-only.bin")
    with open(path, "wb") as f:
        f.write(data)
    return path


FOUR_THREE = {1, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 21, 22, 23, 24, 25, 26, 27, 28, 29, 35, 37}
BT709 = {4, 5, 16, 18, 19, 20, 31}


def expected_avi(code, colour_space):
    y = {0: 0, 1: 2, 2: 1}[colour_space]  # CEA-861: RGB 0, YCbCr 4:2:2 1, YCbCr 4:4:4 2
    aspect = 1 if code in FOUR_THREE else 2
    colorimetry = 2 if code in BT709 else 1
    return [y, colorimetry, aspect, 8, code]


# (capture mode, EDID, options, expected output code (None: no video), colour space, FPGA mode bits).
# The policy's unit suite holds the choice itself; these rows prove what reaches the FPGA and the
# transmitter's registers, and the codes whose infoframe the unit suite does not see.
FORMATS = [
    pytest.param("1080p50", ACTIVE_TV, (), 31, 1, 0, id="1080p50-listed-yuv444"),
    pytest.param("1080p50", "sd-timings-GSM0001-74CD4742CDB5", (), 18, 1, FPGA_SD,
                 id="1080p50-scaled-to-576p"),
    pytest.param("720p50", ACTIVE_TV, ("--force-scaling",), 18, 1, FPGA_SD | FPGA_FROM720, id="720p50-forced"),
    pytest.param("1080i60", "sd-timings-GSM0001-74CD4742CDB5", (), None, None, None, id="1080i60-unlisted"),
    pytest.param("1080i50", "hdmi-tv-MEIA296-B994365EE442", (), 20, 1, 0, id="1080i50-listed"),
    pytest.param("1080p25", "hdmi-tv-MEIA296-B994365EE442", (), 33, 1, 0, id="1080p25-bt601"),
    pytest.param("1080p60", "hdmi-monitor-AOC2752-3BE96F8EE5A8", (), 16, 0, 0, id="hdmi-without-ycbcr-rgb"),
    pytest.param("1080p50", "cea-dvi-ACR0335-0A949814993B", (), 31, 0, 0, id="dvi-rgb-despite-flags"),
    pytest.param("1080p50", "422-only", (), 31, 2, 0, id="hdmi-422-only"),
    pytest.param(None, ACTIVE_TV, (), None, None, None, id="no-capture-mode-sink-lists-code-0"),
    pytest.param("576i", ACTIVE_TV, (), None, None, None, id="unknown-capture-mode"),
]


@pytest.mark.parametrize("mode, edid, options, code, colour_space, fpga_mode", FORMATS)
def test_format_choice(rig, mode, edid, options, code, colour_space, fpga_mode):
    if edid == "422-only":
        path = derived_422_only(rig.workdir)
        expected = de.edid_expected("hdmi-tv-SHP10A1-73896C10E666")
    else:
        path = de.edid_path(edid)
        expected = de.edid_expected(edid)
    d = rig.start("--enable-hdmi", *options, image_source=capture(mode))
    started_output(d)
    time.sleep(0.2)
    rig.sim.ask(f"plug {path} {BUS}")
    if code is None:
        d.wait_line("Failed to select compatible video config, disabling video")
        out = d.output()
        assert "Current capture mode accepted by sink" not in out
        de.wait_until(rig.powered_down, 3, "the transmitter in low power")
        assert rig.hdmi(0x11, 0x0F) & 0x02 == 0, "AVI infoframe enabled without video"
        if mode is None:
            assert "Scaling from CEA/EIA-861F format: 0 not supported" in out
        return
    de.wait_until(lambda: rig.hdmi(0x00, 0x31) == code, 5, f"output format {code}")
    out = d.output()
    word = rig.fpga_word()
    assert word & (FPGA_PLL | FPGA_HDMI) == FPGA_PLL | FPGA_HDMI
    assert rig.hdmi(0x00, 0x30) == code  # the FPGA feeds the transmitter the output format
    assert (rig.hdmi(0x00, 0x40) >> 1) & 0x03 == colour_space
    assert word & (FPGA_SD | FPGA_FROM720) == fpga_mode
    assert not rig.powered_down()
    if "--force-scaling" not in options:
        assert ("Current capture mode accepted by sink" in out) == (fpga_mode == 0)
    hdmi_sink = expected["sink_type"] == "HDMI"
    assert rig.hdmi(0x00, 0x40) & 0x01 == (1 if hdmi_sink else 0)
    if not hdmi_sink:
        assert rig.hdmi(0x11, 0x0F) & 0x02 == 0, "AVI infoframe sent to a DVI sink"
        return
    de.wait_until(lambda: rig.hdmi(0x11, 0x0F) & 0x02, 3, "AVI infoframe enabled")
    avi = rig.avi_infoframe()
    assert avi[:3] == [0x82, 0x02, 0x0D]
    assert sum(avi) % 256 == 0, avi
    pb = avi[4:]
    got = [(pb[0] >> 5) & 3, pb[1] >> 6, (pb[1] >> 4) & 3, pb[1] & 0x0F, pb[3]]
    assert got == expected_avi(code, colour_space), avi
    assert pb[0] & 0x03 == 0  # scan information
    assert pb[4] & 0x0F == 0  # no pixel repetition for these codes
    assert pb[5:] == [0] * 8  # no bars


# --- hot plug --------------------------------------------------------------------------------------

def test_hot_plug_out_and_in_reads_the_new_sink(rig):
    first, second = ACTIVE_TV, "hdmi-tv-GSM0001-DF596678D313"
    pa = {n: de.edid_expected(n)["physical_address"] for n in (first, second)}
    assert pa[first] != pa[second]
    d = bring_up_with_sink(rig, first, "--enable-cec")
    wait_format_decision(d)
    assert rig.wait_sent(5) == announcement(pa[first])

    # Receiver sense alone only reports.
    mark = len(d.output())
    rig.sim.ask(f"rx-sense 0 {BUS}")
    d.wait_line("Event callback Tx : RX DEVICE INACTIVE", start=mark)
    rig.sim.ask(f"rx-sense 1 {BUS}")
    d.wait_line("Event callback Tx : RX DEVICE ACTIVE", start=mark)
    assert not rig.powered_down()

    mark = len(d.output())
    rig.sim.ask(f"unplug {BUS}")
    d.wait_line("Sink disconnected", start=mark)
    de.wait_until(rig.powered_down, 3, "standby after unplug")

    mark = len(d.output())
    plug(rig, second)
    d.wait_line("Sink connected", start=mark)
    blocks = de.edid_expected(second)["block_count"]
    d.wait_line(f"All edid blocks are read, nb of block : {blocks}", start=mark)
    wait_format_decision(d, start=mark)
    assert not rig.powered_down()
    assert rig.wait_sent(10)[5:] == announcement(pa[second])
    d.signal()
    assert d.wait_exit() == 0


# --- CEC -------------------------------------------------------------------------------------------

def cec_writes(chip_log):
    """(register, value) for every byte written to the CEC core, multi-byte writes expanded."""
    out = []
    for line in chip_log:
        words = line.split()
        if words[:3] != ["W", "34", "--"] or len(words) < 5 or words[-1].startswith("!"):
            continue
        reg = int(words[3], 16)
        for i, b in enumerate(words[4:]):
            out.append((reg + i, int(b, 16)))
    return out


def test_cec_setup_calibration_and_announcement(rig):
    pa = de.edid_expected(ACTIVE_TV)["physical_address"]
    d = rig.start("--enable-hdmi", "--enable-cec")
    d.wait_line("Register callback done for CEC")
    writes = cec_writes(rig.sim.ask(f"chip-log {BUS}"))
    # From the CEC set-up on (the register layer's own start-up writes 0xFF before it).
    start = max(i for i, (r, v) in enumerate(writes) if r == 0x03 and v == 0x80) - 1
    seq = writes[start:]
    assert seq[0][0] == 0xFF and seq[0][1] & 0x81 == 0x81, seq
    assert seq[1:4] == [(0x03, 0x80), (0x06, 0x05), (0x04, 0x00)], seq
    assert seq[4] == (0x05, 1 << CEC_ME), seq
    assert seq[5] == (0x03, 0x40), seq
    assert seq[6][0] == 0xFF and seq[6][1] & 0x81 == 0x81, seq  # power on
    assert seq[7:9] == [(0xF3, 0xC0), (0xF4, 0xD4)], seq
    assert seq[9][0] == 0xF5 and seq[9][1] & 0x80 == 0, seq
    assert seq[10] == (0xF6, 0x11), seq
    assert seq[11][0] == 0xFF and seq[11][1] & 0xC0 == 0x80, seq
    assert seq[12:] == [(0xF2, 0x01), (0xF2, 0x00)], seq
    # The calibration reference: one low pulse of 9.7 ms on the interrupt line.
    history = [tuple(int(w) for w in line.split()) for line in rig.sim.ask(f"gpio-history {GPIO}")]
    lows = [i for i, (_, level) in enumerate(history) if level == 0]
    assert len(lows) == 1 and lows[0] + 1 < len(history), history
    width_ms = (history[lows[0] + 1][0] - history[lows[0]][0]) / 1e6
    assert 9.7 <= width_ms < 30, width_ms
    assert rig.sim.ask(f"gpio-state {GPIO}")[0].startswith("exported=1 direction=in edge=falling")

    time.sleep(0.2)
    plug(rig, ACTIVE_TV)
    assert rig.wait_sent(5) == announcement(pa)
    d.signal()
    assert d.wait_exit() == 0


def pa_hex(name):
    pa = de.edid_expected(name)["physical_address"]
    return f"{pa >> 8:02x} {pa & 0xFF:02x}"


# (received frame, debug line, frames sent in reply); {pa} is the sink's physical address. The
# whole table of answers is the output policy's unit suite; these rows prove the daemon's wiring:
# an answer leaves through the chip, an Abort is answered from the address it was sent to, and
# misaddressed or short frames never reach the responder.
RESPONDER = [
    ("01 46", "GIVE_OSD_NAME", ["10 47 50 54 5a"]),
    ("0f 86 {pa}", "SET STREAM PATH", ["1f 82 {pa}"]),
    ("41 ff", None, ["14 00 ff 04"]),
    ("01 85", None, []),
    ("01", None, []),
]


def test_cec_responder(rig):
    pa = pa_hex(ACTIVE_TV)
    d = bring_up_with_sink(rig, ACTIVE_TV, "--enable-cec")
    rig.wait_sent(5)
    time.sleep(0.3)  # the announcement's transmit results are handled
    failures = []
    for frame, logged, replies in RESPONDER:
        frame, replies = frame.format(pa=pa), [r.format(pa=pa).replace(" ", "") for r in replies]
        before_sent, mark = len(rig.cec_sent()), len(d.output())
        rig.sim.ask(f"cec-receive {BUS} {frame}")
        if logged:
            d.wait_line(logged, start=mark)
        if replies:
            rig.wait_sent(before_sent + len(replies))
        else:
            time.sleep(0.3)
        sent = rig.cec_sent()[before_sent:]
        if sent != replies:
            failures.append(f"{frame}: sent {sent}, expected {replies}")
        new = d.output()[mark:]
        if logged is None:
            unexpected = [line for line in new if line in dict.fromkeys(
                ["ABORT_MESSAGE", "FEATURE_ABORT", "REQUEST_ACTIVE_SOURCE", "SET STREAM PATH",
                 "REPORT_PHYSICAL_ADDRESS"])
                or line.startswith("NOT YET SUPPORTED")]
            if unexpected:
                failures.append(f"{frame}: delivered ({unexpected})")
    assert failures == []
    d.signal()
    assert d.wait_exit() == 0


# --- shutdown --------------------------------------------------------------------------------------

def test_sigterm_before_the_output_started_skips_the_teardown(rig):
    d = rig.start(settings=settings("no"))
    d.wait_line("Starting displinkd")
    time.sleep(0.3)
    assert rig.sim.ask(f"gpio-state {GPIO}")[0].startswith("exported=1")
    d.signal(signal.SIGTERM)
    assert d.wait_exit() == 0
    assert "Terminating" in d.output()
    assert rig.sim.ask("fpga-log") == []
    assert rig.sim.ask(f"i2c-log {BUS}") == []
    assert line_released(rig)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_after_the_output_started_tears_it_down(rig, sig):
    d = bring_up_with_sink(rig, ACTIVE_TV, "--enable-cec")
    wait_format_decision(d)
    assert rig.fpga_word() & FPGA_HDMI
    assert not rig.powered_down()
    d.signal(sig)
    assert d.wait_exit() == 0
    out = d.output()
    assert out.index("Terminating") < out.index("HDMI TX Driver close done")
    assert rig.fpga_word() & FPGA_HDMI == 0
    assert rig.fpga_word() & FPGA_PLL  # only the output bit is cleared
    assert rig.powered_down()
    assert line_released(rig)


def test_sigterm_during_the_bring_up_still_tears_it_down(rig):
    # The CEC set-up waits over a second inside the bring-up, before the loop runs.
    d = rig.start("--enable-hdmi", "--enable-cec")
    d.wait_line("Enabling HDMI output")
    d.signal(signal.SIGTERM)
    assert d.wait_exit(timeout=10) == 0
    out = d.output()
    assert out.index("Enabling HDMI output") < out.index("Terminating")
    assert rig.fpga_word() & FPGA_HDMI == 0
    assert line_released(rig)


# --- failures of the frame -------------------------------------------------------------------------

def test_bad_option_prints_the_hint_and_exits_1(rig):
    d = rig.start("--bogus")
    assert d.wait_exit() == 1
    assert d.stderr.decode() == "Unknown option --bogus\nTry -? or --help for more information.\n"
    assert rig.sim.ask("fpga-log") == [] and rig.sim.ask(f"gpio-state {GPIO}")[0].startswith("exported=0")


# (files replaced, messages in order, status); the key file's own refusals are its unit suite's.
START_FAILURES = [
    pytest.param({"nxp": None},
                 ["Failed to load config file", "Daemon failed, configuration could not be read"], 1,
                 id="no-config"),
    pytest.param({"nxp": f"[GPIO]\nHdmiIntPin={GPIO}\n[I2C]\nI2CBusNum=100\n"},
                 ["Failed to read required config file parameter I2CBusNum",
                  "Daemon failed, configuration could not be read"], 1, id="bus-100"),
    pytest.param({"nxp": f"[GPIO]\nHdmiIntPin=600\n[I2C]\nI2CBusNum={BUS}\n"},
                 ["Failed when requesting gpio 600 (HDMI_IRQ_PIN) for interrupt",
                  "Interrupt could not be initialized"],
                 1, id="gpio-request"),
    pytest.param({"passwd": "machine"}, ['Couldn\'t get uid for user "displink"',
                                         "Failed setting uid and gid of the process"], 1, id="no-user"),
    pytest.param({"group": "machine"}, ['Couldn\'t get gid for group "displink"',
                                        "Failed setting uid and gid of the process"], 1, id="no-group"),
]


@pytest.mark.parametrize("files, messages, status", START_FAILURES)
def test_start_up_failures(rig, files, messages, status):
    for key, value in list(files.items()):
        if value == "machine":
            with open("/etc/" + key, encoding="utf-8") as f:
                files[key] = f.read()
    d = rig.start("--enable-hdmi", **files)
    assert d.wait_exit() == status
    out = d.output()
    assert in_order(out, messages), out
    assert "Enabling HDMI output" not in out
    assert rig.sim.ask("fpga-log") == []
    # The interrupt line requested before the privilege drop is released again.
    assert rig.sim.ask(f"gpio-state {GPIO}")[0].startswith("exported=0")


# A bring-up step that fails once the password is set, before the loop runs: the messages in order,
# then the normal shutdown (output bit cleared again, the line released) and status 0.
@pytest.mark.parametrize("chip_version, nxp, messages", [
    # No /dev/i2c-5.
    (None, f"[GPIO]\nHdmiIntPin={GPIO}\n[I2C]\nI2CBusNum=5\n",
     ["Error opening i2c character device file", "Daemon failed, I2C could not be initialized", "Terminating"]),
    ("0x00 0x00", None,
     ["Driver open failed", "Daemon failed, hdmi could not be initialized", "Terminating"]),
], ids=["no-i2c-device", "unsupported-chip"])
def test_failed_bring_up_before_the_loop_ends_through_shutdown_with_0(rig, chip_version, nxp, messages):
    if chip_version:
        rig.sim.ask(f"chip-version {chip_version} {BUS}")
    d = rig.start("--enable-hdmi", **({"nxp": nxp} if nxp else {}))
    assert d.wait_exit(timeout=10) == 0
    out = d.output()
    assert in_order(out, messages), out
    assert rig.fpga_word() & FPGA_HDMI == 0
    assert line_released(rig)


def test_runs_as_the_daemon_user(rig):
    d = rig.start("--enable-hdmi")
    wait_running(rig, d)
    assert d.status_field("Uid") == [str(rig.uid)] * 4
    assert d.status_field("Gid") == [str(rig.gid)] * 4
    assert d.status_field("Groups") == [str(rig.gid)]
    # The devices were opened after the drop: the I2C bus answered the unprivileged process.
    assert rig.sim.ask(f"i2c-log {BUS}") != []
    d.signal()
    assert d.wait_exit() == 0


# --- audio clocks ----------------------------------------------------------------------------------

# An ALSA configuration of the test's own in which "hw" is a null device: it takes any parameters.
NULL_HW = """pcm.hw {
  @args [ CARD DEV SUBDEV ]
  @args.CARD { type string default "0" }
  @args.DEV { type integer default 0 }
  @args.SUBDEV { type integer default -1 }
  type null
}
"""


@pytest.mark.parametrize("card, logged", [
    (False, ["Unable to open pcm device: No such file or directory"]),
    (True, []),  # open, the hardware parameters and their installation all succeed
])
def test_audio_clock_start_never_stops_the_bring_up(rig, card, logged):
    env = {}
    if card:
        path = os.path.join(rig.workdir, "asound.conf")
        with open(path, "w", encoding="utf-8") as f:
            f.write(NULL_HW)
        os.chmod(path, 0o644)
        env["ALSA_CONFIG_PATH"] = path
    d = rig.start("--enable-hdmi", env=env)
    d.wait_line("Initializing hdmi transmitter")
    out = d.output()
    assert out[out.index("Initializing audio") + 1:out.index("Initializing hdmi transmitter")] == logged
    wait_running(rig, d)
    d.signal()
    assert d.wait_exit() == 0


def test_cec_without_acknowledgement_goes_on(rig):
    """No device acknowledges on the CEC line: each frame's transmit result reaches the daemon as
    a status event, and it keeps answering."""
    pa = de.edid_expected(ACTIVE_TV)["physical_address"]
    rig.sim.ask(f"cec-ack 0 {BUS}")
    d = bring_up_with_sink(rig, ACTIVE_TV, "--enable-cec")
    assert rig.wait_sent(5) == announcement(pa)
    de.wait_until(lambda: d.output().count("Event callback CEC : STATUS") >= 5, 5, "five transmit results")
    rig.sim.ask(f"cec-receive {BUS} 01 46")
    assert rig.wait_sent(6)[5] == "104750545a"
    d.signal()
    assert d.wait_exit() == 0
