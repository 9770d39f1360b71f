"""serialchat as a process, talking to a pseudo-terminal that plays the device."""
import os
import select
import stat
import subprocess
import termios
import threading
import time

import pytest

BIN = os.path.join(os.environ.get("TESSEL_BIN") or
                   os.path.join(os.path.dirname(__file__), "../../build/bin"), "serialchat")

USAGE = """\
usage: {name} [-b BAUDRATE] [-p o|e] [-c CMD] [-q] [-7] [-4] [-2] [-s] [-u] [-e] [-t] [-i] [-r] DEVICE
Read instructions from stdin, sends commands to serial port DEVICE, prints output to stdout.
   -b : use specified baudrate (default 9600)
   -p : use odd (o) or even (e) parity (default is none)
   -c : interact with co-process by running command CMD (connect stdin/stdout)
   -q : quiet, only report errors (stderr)
   -7 : use 7 data bits (default 8)
   -2 : use 2 stop bits (default 1)
   -s : print send data too
   -u : print unexpected data too
   -e : print errors to stdout
   -t : print timing info for each command
   -i : ignore errors, continue
   -r : use \\r\\n as end-of-line
Instructions are lines of ASCII text in three variations:
 s:CODE                  - send byte data output to device
 sa:"STRING"             - send ascii string to device
 r:CODE,TIME[,MASK]      - wait for byte data input from device
 ra:"STRING",TIME[,MASK] - wait for ascii string input from device
 w:TIME                  - wait (sleep)
Where CODE is the byte code to send or read, STRING is a text string to send or read, TIME is timeout/sleeptime in milliseconds and MASK is an optional bitmask, ex:
 s:8101044704000000FF
 r:9040FF,50,FFF0FF
 w:1000
 sa:"foo bar"
 ra:"baz 000",100,FFFFFFFF000000
Lines starting with a hash (#) are regarded as comments.
"""


class Device:
    """The far end of the serial line: records what arrives, answers by rule."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.received = bytearray()
        self._rules = []  # (trigger, reply, delay in s), answered in order
        self._seen = 0
        self._lock = threading.Lock()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def on(self, trigger, reply, delay=0.0):
        with self._lock:
            self._rules.append((trigger, reply, delay))

    def send_when_raw(self, data, delay=0.0):
        """Sends unprompted bytes once serialchat has set the port up (no echo, no line editing)."""
        def later():
            end = time.monotonic() + 20
            while termios.tcgetattr(self.slave)[3] & termios.ICANON and time.monotonic() < end:
                time.sleep(0.005)
            time.sleep(delay)
            os.write(self.master, data)
        threading.Thread(target=later, daemon=True).start()

    def got(self, expected):
        """What arrived, once at least len(expected) bytes are there (or after a generous wait)."""
        end = time.monotonic() + 10
        while time.monotonic() < end:
            with self._lock:
                if len(self.received) >= len(expected):
                    break
            time.sleep(0.01)
        time.sleep(0.05)  # room for anything that should not have come
        with self._lock:
            return bytes(self.received)

    def _run(self):
        while not self._stop:
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    return
                with self._lock:
                    self.received += chunk
            with self._lock:
                if not self._rules:
                    continue
                trigger, reply, delay = self._rules[0]
                at = self.received.find(trigger, self._seen)
                if at < 0:
                    continue
                self._seen = at + len(trigger)
                self._rules.pop(0)
            time.sleep(delay)
            os.write(self.master, reply)

    def close(self):
        self._stop = True
        self._thread.join()
        os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def device():
    d = Device()
    yield d
    d.close()


def run(args, instructions, dev=None, argv0=BIN):
    argv = [argv0, *args] + ([dev.path] if dev else [])
    return subprocess.run(argv, input=instructions.encode(), capture_output=True, timeout=60)


def test_usage_text_and_rejected_arguments(tmp_path):
    link = tmp_path / "chat-tool"
    link.symlink_to(BIN)
    for args in ([], ["-b", "9601", "/dev/null"], ["-4", "/dev/null"], ["-p", "x", "/dev/null"],
                 ["-x", "/dev/null"]):
        r = run(args, "", argv0=str(link))
        assert r.returncode == 1, args
        assert r.stdout.decode() == USAGE.format(name="chat-tool"), args


def test_port_set_up_raw_with_chosen_framing(device):
    # A pseudo-terminal keeps speed, stop bits and PARODD, but forces CS8 and clears PARENB; the
    # character size and parity enable are covered by the unit tests of the framing.
    cases = [([], termios.B9600, 0),
             (["-b", "115200", "-p", "o", "-2"], termios.B115200, termios.PARODD | termios.CSTOPB)]
    for args, speed, extra in cases:
        # Start from settings that are none of the chosen ones.
        attrs = termios.tcgetattr(device.slave)
        attrs[2] |= termios.PARENB | termios.PARODD | termios.CSTOPB
        attrs[3] |= termios.ICANON | termios.ECHO
        termios.tcsetattr(device.slave, termios.TCSANOW, attrs)
        r = run(args, "", device)
        assert r.returncode == 0, (args, r.stderr)
        iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(device.slave)
        assert (ispeed, ospeed) == (speed, speed), args
        assert cflag & (termios.PARODD | termios.CSTOPB) == extra, args
        assert lflag & (termios.ICANON | termios.ECHO | termios.ISIG) == 0
        assert oflag & termios.OPOST == 0


def test_port_errors_end_with_status_1(tmp_path):
    r = subprocess.run([BIN, str(tmp_path / "missing")], input=b"s:01\n", capture_output=True, timeout=30)
    assert r.returncode == 1
    assert r.stderr.decode().startswith("port open: ")
    r = subprocess.run([BIN, "/dev/null"], input=b"s:01\n", capture_output=True, timeout=30)
    assert r.returncode == 1
    assert r.stderr.decode().startswith("port tcgetattr: ")


def test_send_then_masked_read_of_a_late_answer_with_unexpected_prefix(device):
    device.on(b"\x81\x01\x04", b"\x01\x02\x90\x4f\xff\x77", delay=0.3)
    r = run(["-s", "-u"], "# camera query\n\nS:810104\r\nr:9040FF,5000,FFF0FF\nr:77,5000\n", device)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode() == "810104\tSEND\n0102\tUNEXPECTED\n904FFF\n77\n"
    assert r.stderr == b""
    assert device.got(b"\x81\x01\x04") == b"\x81\x01\x04"


def test_unexpected_bytes_are_silent_without_u_and_everything_under_q(device):
    device.on(b"\x01", b"\x01\x02\x90\x40\xff")
    r = run([], "s:01\nr:9040FF,5000\n", device)
    assert (r.returncode, r.stdout) == (0, b"9040FF\n")
    device.on(b"\x02", b"\x01\x02\x90\x40\xff")
    r = run(["-q", "-s", "-u"], "s:02\nr:9040FF,5000\n", device)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"", b"")


def test_text_mode_send_and_read(device):
    device.on(b'a"b', b"xxOK\r\n")
    r = run(["-s", "-u", "-r"], 'sa:"a\\"b"\nra:"OK",5000\n', device)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b'"a\\"b"\tSEND\r\n"xx"\tUNEXPECTED\r\n"OK"\r\n'.replace(b'\\"', b'"')
    assert device.got(b'a"b') == b'a"b'


def test_deadline_counts_from_the_last_event_not_from_a_sleep(device):
    # The answer is there long before the read starts, but the sleep has used up its time.
    device.on(b"\x01", b"\x02")
    start = time.monotonic()
    r = run(["-t"], "s:01\nw:1000\nr:02,50\n", device)
    took = time.monotonic() - start
    assert r.returncode == 1
    assert r.stdout == b""
    lines = r.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].endswith(" ---- TIMEOUT(50ms): 02 FF"), lines
    assert lines[0].startswith("00001.") and took < 10


def test_timeout_report_goes_to_err_file(device):
    r = run(["-r"], "r:0304,200,FF0F\ns:01\n", device)
    assert r.returncode == 1
    assert r.stderr == b"---- TIMEOUT(200ms): 0304 FF0F\r\n"
    assert device.got(b"") == b"", "nothing after a timeout without -i"
    r = run(["-e"], 'ra:"hi",100\n', device)
    assert (r.returncode, r.stdout, r.stderr) == (1, b'---- TIMEOUT(100ms): "hi" FFFF\n', b"")


def test_expect_silence(device):
    r = run(["-q"], "r:,200\nra:,100\ns:01\n", device)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b'\t\n""\t\n', "printed even under -q"
    assert device.got(b"\x01") == b"\x01"

    device.send_when_raw(b"\x55", delay=0.05)
    r = run(["-u"], "r:,2000\ns:02\n", device)
    assert r.returncode == 1
    assert r.stdout == b"55\tUNEXPECTED\n"
    assert r.stderr == b"---- TIMEOUT(2000ms):  \n"
    assert device.got(b"\x01") == b"\x01"


def test_timeout_with_i_keeps_received_bytes(device):
    device.send_when_raw(b"\x01\x02")
    r = run(["-i"], "r:AA,300\nr:0102,5000\n", device)
    assert r.returncode == 0
    assert r.stderr == b"---- TIMEOUT(300ms): AA FF\n"
    assert r.stdout == b"0102\n"


def test_answer_behind_more_noise_than_the_buffer_holds(device):
    device.on(b"\x01", bytes(range(100)) * 3 + b"\xab\xcd")
    r = run([], "s:01\nr:ABCD,5000\n", device)
    assert (r.returncode, r.stdout) == (0, b"ABCD\n"), r.stderr


def test_parse_errors_stop_with_a_failure(device):
    r = run([], "s:01\nr:9040FF,50,FF\ns:02\n", device)
    assert r.returncode == 1
    assert r.stderr == b'parse error on line: "r:9040FF,50,FF"\n'
    assert device.got(b"\x01") == b"\x01"
    r = run([], 'sa:""\n', device)
    assert (r.returncode, r.stderr) == (1, b'parse error on line: "sa:\\"\\""\n'.replace(b"\\", b""))


def test_overlong_lines(device):
    comment = "#" + "x" * 300 + " s:FF\n"
    r = run([], comment + "s:01\n", device)
    assert (r.returncode, r.stderr) == (0, b"")
    assert device.got(b"\x01") == b"\x01", "the tail of a long comment is not an instruction"
    r = run([], "s:" + "02" * 150 + "\n", device)
    assert r.returncode == 1
    assert r.stderr.startswith(b'parse error on line: "s:0202')
    assert device.got(b"\x01") == b"\x01"


def test_coprocess_writes_instructions_and_reads_answers(device, tmp_path):
    answers = tmp_path / "answers"
    script = tmp_path / "coproc"
    script.write_text(f"""#!/bin/sh
echo "s:01"
echo "r:02,5000"
read a
echo "$a" > {answers}
echo 'sa:"bye"'
""")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    device.on(b"\x01", b"\x02")
    r = run(["-s", "-c", str(script)], "", device)
    assert r.returncode == 0, r.stderr
    assert r.stderr == b""
    assert r.stdout == b'01\tSEND\n02\n"bye"\tSEND\n'
    assert answers.read_text() == "02\n"
    assert device.got(b"\x01bye") == b"\x01bye"


def test_coprocess_ending_in_a_parse_error_still_gets_its_answers(device, tmp_path):
    # The instructions are all written before the first answer comes back; the answer must not
    # be thrown away by hanging up the terminal when the bad line ends the run.
    answers = tmp_path / "answers"
    script = tmp_path / "coproc"
    script.write_text(f"""#!/bin/sh
echo "s:01"
echo "r:02,5000"
echo "garbage"
read a
echo "got:$a" > {answers}
""")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    device.on(b"\x01", b"\x02")
    r = run(["-c", str(script)], "", device)
    assert (r.returncode, r.stderr) == (1, b'parse error on line: "garbage"\n')
    assert answers.read_text() == "got:02\n"


def test_device_hang_up_times_out_reads_and_fails_writes():
    dev = Device()
    try:
        def hang_up():
            while termios.tcgetattr(dev.slave)[3] & termios.ICANON:
                time.sleep(0.005)
            dev._stop = True
            dev._thread.join()
            os.close(dev.master)
        threading.Thread(target=hang_up, daemon=True).start()
        r = run(["-i"], "w:300\nr:01,500\ns:01\ns:02\n", dev)
        assert r.returncode == 1
        assert r.stderr == b"---- TIMEOUT(500ms): 01 FF\nwrite port: Input/output error\n"
    finally:
        os.close(dev.slave)
