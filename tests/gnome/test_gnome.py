"""keytap --portal in a real GNOME 48: a headless GNOME Shell, xdg-desktop-portal-gnome with the
shortcut provider of GNOME's settings, and the real frontend, in the Debian 13 tree of
tests/gnome/tree; keys pressed through mutter's remote desktop. The static keytap runs in the tree
unchanged."""
import os
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "portal"), str(HERE.parent / "desktops")]
from conftest import WAIT, Keytap, dies_with_test  # noqa: E402  (keytap over pipes)
from tree_session import TreeSession  # noqa: E402

TREE = Path(os.environ.get("KEYTAP_GNOME_TREE", ""))
APP = "org.example.Keytap"
ESCAPE, DIGIT_1, CONTROL, K, SHIFT, ALT, A, F9, F13 = 1, 2, 29, 37, 42, 56, 30, 67, 183  # evdev
READY = {"t": "ready", "d": {"available": True, "permission": "granted"}}


class Gnome(TreeSession):
    """GNOME Shell, GNOME's portal and the shortcut provider of its settings."""

    def __init__(self) -> None:
        super().__init__(TREE, (os.environ["KEYTAP_BINARY"], HERE / "keys.py",
                                HERE / "session.sh"), "GNOME", "wayland-0")
        # The portal names an app only where a .desktop file of that id is installed.
        applications = self.work / "share" / "applications"
        applications.mkdir(parents=True)
        (applications / f"{APP}.desktop").write_text(
            f"[Desktop Entry]\nType=Application\nName={APP}\nExec=/bin/true\n")
        # A new home each time: GNOME stores there the shortcuts a user accepted, and binds a
        # stored id without asking, whatever keytap proposes for it.
        (self.work / "home" / ".config").mkdir(parents=True)
        self.start()
        self.monitors: list = []
        # One keyboard for the whole session: mutter lets go of its keys when it goes.
        self.keyboard = subprocess.Popen(self.inside("python3", "keys.py"), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, preexec_fn=dies_with_test)
        self.keys(f"+{ESCAPE}", f"-{ESCAPE}")  # the shell starts in the overview

    def keys(self, *moves: str) -> None:
        """Presses (+CODE) and releases (-CODE) keys, in order."""
        self.keyboard.stdin.write((" ".join(moves) + "\n").encode())
        self.keyboard.stdin.flush()
        assert self.keyboard.stdout.readline() == b"done\n", "keys.py failed: " + self.logs()

    def watch(self, member: str) -> subprocess.Popen:
        """A dbus-monitor of the portal's shortcut signals named `member`, listening."""
        monitor = subprocess.Popen(
            self.inside("dbus-monitor", "--session", "type='signal',member='" + member +
                        "',interface='org.freedesktop.portal.GlobalShortcuts'"),
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=dies_with_test)
        self.monitors.append(monitor)
        # The bus takes its name away once it is a monitor.
        while b"member=NameLost" not in (line := monitor.stdout.readline()):
            assert line, "dbus-monitor ended"
        return monitor

    def accept(self, keytap: Keytap) -> dict:
        """What keytap says next, once the user accepts GNOME's "Add Keyboard Shortcuts" dialog
        (asked for every id it has not stored) with Alt+A, its Add button: pressed until the
        dialog is up and takes it."""
        deadline = time.monotonic() + WAIT
        while not (b"\n" in keytap.buffered or
                   select.select([keytap.process.stdout], [], [], 0.5)[0]):
            assert time.monotonic() < deadline, "no dialog took Alt+A: " + self.logs()
            self.keys(f"+{ALT}", f"+{A}", f"-{A}", f"-{ALT}")
        return keytap.next()

    def end(self) -> None:
        for monitor in self.monitors:
            monitor.kill()
            monitor.wait()
        self.keyboard.kill()
        self.keyboard.wait()
        super().end()


@pytest.fixture(scope="module")
def gnome():
    session = Gnome()
    yield session
    session.end()


@pytest.fixture
def bound(gnome):
    """Starts a keytap that registers the accelerator and has the user accept it; returns the
    keytap and what GNOME said of the accelerator."""
    started = []

    def binding(accelerator: str):
        started.append(Keytap(gnome.inside("./keytap", "--backend=portal", f"--portal={APP}"),
                              os.environ))
        keytap = started[-1]
        keytap.expect(READY)
        keytap.send("register", accelerator)
        keytap.expect({"t": "registered", "d": {"accelerator": accelerator}})
        said = gnome.accept(keytap)
        assert said["t"] == "binding", said
        assert said["d"]["accelerator"] == accelerator, said
        return keytap, said["d"]

    yield binding
    for keytap in started:
        keytap.end()


def key(kind: str, accelerator: str) -> dict:
    return {"t": kind, "d": {"accelerator": accelerator}}


def test_a_chord_pressed_and_released(gnome, bound):
    keytap, said = bound("Control+Shift+K")
    # GNOME describes the keys it stored, in its own accelerator syntax.
    assert said == {"accelerator": "Control+Shift+K", "state": "bound",
                    "trigger": "Press <Shift><Control>k"}
    gnome.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{K}", f"-{K}", f"-{SHIFT}", f"-{CONTROL}")
    keytap.expect(key("down", "Control+Shift+K"), key("up", "Control+Shift+K"))
    keytap.quiet()


def test_a_held_key_goes_down_once(gnome, bound):
    keytap, said = bound("F9")
    assert said["state"] == "bound", said
    monitor = gnome.watch("Activated")
    gnome.keys(f"+{F9}")
    keytap.expect(key("down", "F9"))
    keytap.quiet(1.5)  # held: GNOME repeats Activated, and nothing of it reaches the host
    gnome.keys(f"-{F9}")
    keytap.expect(key("up", "F9"))
    keytap.quiet()
    monitor.kill()
    assert monitor.stdout.read().count(b"member=Activated") > 1, "GNOME did not repeat"


def test_f13(gnome, bound):
    keytap, said = bound("F13")
    # The default keymap's F13 key types XF86Tools, which GNOME names so.
    assert said == {"accelerator": "F13", "state": "bound", "trigger": "Press Tools"}
    gnome.keys(f"+{F13}", f"-{F13}")
    keytap.expect(key("down", "F13"), key("up", "F13"))
    keytap.quiet()


def test_a_chord_with_shift_and_a_digit(gnome, bound):
    keytap, said = bound("Control+Shift+1")
    # GNOME matches the key and Shift, unlike KDE, which hears the symbol typed.
    assert said == {"accelerator": "Control+Shift+1", "state": "bound",
                    "trigger": "Press <Shift><Control>1"}
    gnome.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{DIGIT_1}", f"-{DIGIT_1}", f"-{SHIFT}",
               f"-{CONTROL}")
    keytap.expect(key("down", "Control+Shift+1"), key("up", "Control+Shift+1"))
    keytap.quiet()
