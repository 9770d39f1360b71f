"""The HDMI daemon's hardware access against the simulated device: hwprobe calls the real
displinkd_* functions under umockdev's preload, simdev hosts "/dev/cam0" and "/dev/i2c-N" and
tells what reached them."""
import os
import subprocess

import pytest

import daemon_env as de

BUS = 4
DEV = 10  # the first device number simdev's FPGA hands out
ATTACH, READ, WRITE = "0x800c2a8b", "0x800c2a89", "0x800c2a80"


@pytest.fixture
def sim():
    s = de.Simdev(buses=(BUS,), gpio=None)
    yield s
    s.close()


@pytest.fixture
def config(tmp_path):
    path = tmp_path / "nxp_tda19988.conf"
    path.write_text(f"[GPIO]\nHdmiIntPin=17\n[I2C]\nI2CBusNum={BUS}\n")
    return str(path)


def probe(sim, *args):
    r = subprocess.run([de.test_program("hwprobe")] + list(args), capture_output=True, text=True, timeout=20,
                       env={**os.environ, **sim.env()} if sim else None)
    assert r.returncode == 0, r.stderr
    return r.stdout.splitlines(), r.stderr.splitlines()


def test_fpga_operations_reach_register_0_of_the_attached_device(sim):
    sim.ask(f"fpga-set {DEV} 0 0x30")
    out, err = probe(sim, "fpga-pll", "fpga-hdmi-on", "fpga-sd720", "fpga-hd", "fpga-hdmi-off")
    assert out == ["fpga-pll 1", "fpga-hdmi-on 1", "fpga-sd720 1", "fpga-hd 1", "fpga-hdmi-off 1"]
    assert err == []
    values = [0x34, 0x35, 0x3F, 0x3D, 0x3C]
    expected = []
    for before, after in zip([0x30] + values, values):
        expected += [f"{ATTACH} 1 0 3 -> {DEV} 0", f"{READ} 0 0 {DEV} -> 0 0", f"{WRITE} 0 {after} {DEV} -> 0 0"]
    assert sim.ask("fpga-log") == expected
    assert sim.ask("fpga-attached") == [f"0 3 -> {DEV}"]
    assert sim.ask(f"fpga-reg {DEV} 0") == ["0x0000003c"]


def test_fpga_failure_leaves_the_word_alone(sim):
    sim.ask(f"fpga-set {DEV} 0 0x5")
    sim.ask(f"fpga-fail {int(READ, 16)} 5")
    out, err = probe(sim, "fpga-hdmi-off")
    assert out == ["fpga-hdmi-off 0"]
    assert err == ["Failed to read FPGA control word: Input/output error"]
    assert [line.split()[0] for line in sim.ask("fpga-log")] == [ATTACH, READ]
    assert sim.ask(f"fpga-reg {DEV} 0") == ["0x00000005"]


def test_missing_video_device():
    assert not os.path.exists("/dev/cam0")
    out, err = probe(None, "fpga-pll")
    assert out == ["fpga-pll 0"]
    assert err == ["Failed to open /dev/cam0"]


def test_i2c_transfers_reach_the_chip_model(sim, config):
    out, err = probe(sim, "config", config, "i2c-init", "i2c-write", "0x70", "0xff", "00",
                     "i2c-read", "0x70", "0x00", "1", "i2c-read", "0x70", "0x02", "1", "i2c-close")
    assert err == []
    # The HDMI core's version registers on page 0.
    assert out == ["config 0", "i2c-init 0", "i2c-write 0", "i2c-read 0 31", "i2c-read 0 03", "i2c-close 0"]
    assert sim.ask("i2c-log") == [
        "select 0x0706 0x70 -> 0 0", "write 0x70 2 -> 2 0 ff00",
        "select 0x0706 0x70 -> 0 0", "write 0x70 1 -> 1 0 00", "read 0x70 1 -> 1 0 31",
        "select 0x0706 0x70 -> 0 0", "write 0x70 1 -> 1 0 02", "read 0x70 1 -> 1 0 03",
    ]
    assert sim.ask("chip-log") == ["W 70 p00 FF 00", "R 70 p00 00 +1", "R 70 p00 02 +1"]


@pytest.mark.parametrize("inject, command, message", [
    ("select -1 16", ["i2c-read", "0x34", "0x10", "2"], "Failed to acquire I2C bus access and/or talk to slave"),
    ("write 2 0", ["i2c-write", "0x34", "0x10", "aabb"], "Error writing to I2C unit Input/output error"),
    ("read 1 0", ["i2c-read", "0x34", "0x10", "2"], "Error reading I2C"),
])
def test_i2c_failures_give_23(sim, config, inject, command, message):
    sim.ask(f"i2c-fail {BUS} {inject}")
    out, err = probe(sim, "config", config, "i2c-init", *command)
    assert out[2].split()[:2] == [command[0], "23"]
    assert err == [message]


def test_i2c_write_of_40_bytes_never_reaches_the_bus(sim, config):
    out, err = probe(sim, "config", config, "i2c-init", "i2c-write", "0x70", "0x00", "00" * 40,
                     "i2c-write", "0x70", "0x00", "00" * 39)
    assert out[2:] == ["i2c-write 23", "i2c-write 0"]
    assert err == ["I2C write exceed buffer size"]
    log = sim.ask("i2c-log")
    assert len(log) == 2 and log[1].startswith("write 0x70 40 -> 40 0 ")
