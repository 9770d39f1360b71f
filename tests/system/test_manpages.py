"""The manual pages: rendered by man without a warning, generated from their scdoc sources, and
listing every option with the exact help text that the built program prints."""
import os
import re
import shutil
import subprocess

import pytest

import daemon_env as env
from tessel_proc import BIN

BUILD = os.path.dirname(os.path.abspath(BIN))
SOURCE = env.SOURCE
PAGES = ["tesseltx.1", "tesselrx.1", "serialchat.1", "displinkd.8", "coaxlinkd.8", "appbootstrap.8"]
# Hyphenation off, so that a help text is found whole in the rendered page.
MAN_ENV = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANROFFOPT="-rHY=0")


def built(page):
    path = os.path.join(BUILD, "packaging", "man", page)
    assert os.path.exists(path), f"{page} was not generated (target manpages; needs scdoc)"
    return path


def render(page):
    r = subprocess.run(["man", "--warnings", "-E", "ascii", "-l", built(page)], env=MAN_ENV,
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stderr == "", f"{page}: {r.stderr}"
    return r.stdout


def flat(text):
    return " ".join(text.split())


def section(text, name):
    m = re.search(r"^%s\n(.*?)(?=^[A-Z][A-Z ]+\n)" % name, text, re.M | re.S)
    assert m, f"no section {name}"
    return m.group(1)


@pytest.mark.parametrize("page", PAGES)
def test_page_renders_clean_and_matches_its_source(page):
    scdoc = shutil.which("scdoc")
    assert scdoc, "scdoc is not installed (scripts/setup installs it)"
    with open(os.path.join(SOURCE, "packaging", "man", page + ".scd"), "rb") as f:
        fresh = subprocess.run([scdoc], stdin=f, capture_output=True, check=True).stdout
    with open(built(page), "rb") as f:
        # scdoc stamps the page with the day it ran
        strip = lambda b: re.sub(rb'^\.TH .*$', b"", b, flags=re.M)  # noqa: E731
        assert strip(f.read()) == strip(fresh), "the generated page is older than its source"
    text = render(page)
    name, number = page.split(".")
    assert text.splitlines()[0].startswith(f"{name}({number})")
    for title in ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "SEE ALSO"]:
        assert re.search(f"^{title}$", text, re.M), f"{page}: no {title}"


def help_entries(program):
    """[(option words, help text)] from the program's own help output."""
    if program in ("tesseltx", "tesselrx"):
        out = subprocess.run([os.path.join(BIN, program), "-h"], capture_output=True, text=True).stdout
        entries = []
        for line in out.splitlines():
            m = re.match(r"^  (-\S)(?: [<\[][^>\]]*[>\]]\S*)?\s+(\S.*)$", line)
            if m:
                entries.append((m.group(1), m.group(2)))
            m = re.match(r"^\s{6,}(\w+)=\S*\s+(.*)$", line)  # the sub-keys of -I
            if m:
                entries.append((m.group(1) + "=", m.group(2)))
        return entries
    if program == "serialchat":
        out = subprocess.run([os.path.join(BIN, program)], capture_output=True, text=True).stdout
        return [(m.group(1), m.group(2)) for m in re.finditer(r"^   (-\w) : (.*)$", out, re.M)]
    return [(m.group(1) + ", " + m.group(2), m.group(3))
            for m in re.finditer(r"^\s+(-\w), (--[\w-]+)\s{2,}(.*)$", glib_help(program), re.M)]


def glib_help(program):
    if program == "displinkd":
        return subprocess.run([os.path.join(BIN, program), "--help"], capture_output=True, text=True).stdout
    # coaxlinkd reads its key file and claims its GPIO before it looks at the command line: run it
    # on the simulated device with the key file that the image ships.
    env.require_environment()
    with open(os.path.join(SOURCE, "packaging", "config", "sdi_lmh0303.conf")) as f:
        conf = f.read()
    sim = env.Simdev(buses=(), gpio=None)
    try:
        d = env.Daemon(env.program("coaxlinkd"), ["--help"], simdev=sim,
                       files={"/usr/share/coaxlinkd/sdi_lmh0303.conf": conf})
        assert d.wait_exit() == 0, d.output()
        d.cleanup()
        return "\n".join(d.output())
    finally:
        sim.close()


@pytest.mark.parametrize("page", [p for p in PAGES if not p.startswith("appbootstrap")])
def test_every_option_has_its_exact_help_text(page):
    program = page.split(".")[0]
    entries = help_entries(program)
    assert len(entries) >= 4, entries
    options = flat(section(render(page), "OPTIONS"))
    for words, text in entries:
        assert flat(text) in options, f"{program} {words}: {text!r} missing from the page"
        for word in words.split(", "):
            assert word in options, f"{program}: {word} missing from the page"


@pytest.mark.parametrize("page", ["tesseltx.1", "tesselrx.1"])
def test_encryption_limits_are_stated(page):
    text = flat(section(render(page), "ENCRYPTION")).lower()
    for point in ["authenticat", "integrity", "key stream"]:
        assert point in text
