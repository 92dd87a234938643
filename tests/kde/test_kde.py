"""keytap --portal in a real KDE Plasma: KWin on its virtual output, kglobalacceld,
xdg-desktop-portal-kde and the real frontend, in the Debian 13 tree of tests/kde/tree; keys pressed
through KWin's fake-input protocol. The static keytap runs in the tree unchanged."""
import os
import subprocess
import sys
from pathlib import Path

import dbus
import pytest

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "portal"), str(HERE.parent / "desktops")]
from conftest import Keytap, dies_with_test  # noqa: E402  (keytap over pipes)
from tree_session import TreeSession  # noqa: E402

TREE = Path(os.environ.get("KEYTAP_KDE_TREE", ""))
CONTROL, SHIFT, J, K, DIGIT_1, F13 = 29, 42, 36, 37, 2, 183  # evdev codes
CHORD = "Control+Shift+K"
APPS = ("org.example.Keytap", "org.example.First", "org.example.Second")
READY = {"t": "ready", "d": {"available": True, "permission": "granted"}}


class Plasma(TreeSession):
    """KWin, the shortcut daemon inside it, and KDE's portal."""

    def __init__(self) -> None:
        super().__init__(TREE, (os.environ["KEYTAP_BINARY"], HERE / "fake_keys.c",
                                HERE / "session.sh"), "KDE", "wayland-keytap")
        # The portal names an app only where a .desktop file of that id is installed.
        applications = self.work / "home" / ".local" / "share" / "applications"
        applications.mkdir(parents=True)
        for app in APPS:
            (applications / f"{app}.desktop").write_text(
                f"[Desktop Entry]\nType=Application\nName={app}\nExec=/bin/true\n")
        self.start()

    def keys(self, *moves: str) -> None:
        """Presses (+CODE) and releases (-CODE) keys, in order, on one keyboard that lasts."""
        if not hasattr(self, "keyboard"):
            self.keyboard = subprocess.Popen(self.inside("./fake-keys"), stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, preexec_fn=dies_with_test)
        self.keyboard.stdin.write((" ".join(moves) + "\n").encode())
        self.keyboard.stdin.flush()
        assert self.keyboard.stdout.readline() == b"done\n", "fake-keys failed: " + self.logs()

    def end(self) -> None:
        if hasattr(self, "keyboard"):
            self.keyboard.kill()
            self.keyboard.wait()
        super().end()


@pytest.fixture(scope="module")
def plasma():
    session = Plasma()
    yield session
    session.end()


@pytest.fixture
def start(plasma):
    started = []

    def starting(*args: str) -> Keytap:
        started.append(Keytap(plasma.inside("./keytap", "--backend=portal", *args), os.environ))
        return started[-1]

    yield starting
    for keytap in started:
        keytap.end()


def bound(start, app="org.example.Keytap", chord=CHORD):
    """A keytap of the app with the chord registered, and what KDE said of it."""
    keytap = start(f"--portal={app}")
    keytap.expect(READY)
    keytap.send("register", chord)
    keytap.expect({"t": "registered", "d": {"accelerator": chord}})
    said = keytap.next(timeout=30)
    assert said["t"] == "binding", said
    return keytap, said["d"]


def key(kind, chord=CHORD):
    return {"t": kind, "d": {"accelerator": chord}}


def test_a_bound_chord_held_then_released(plasma, start):
    keytap, said = bound(start)
    assert said == {"accelerator": CHORD, "state": "bound", "trigger": "Ctrl+Shift+K"}
    plasma.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{K}")
    keytap.expect(key("down"))
    keytap.quiet(0.5)  # held: no repeat reaches the host, and no release
    plasma.keys(f"-{K}", f"-{SHIFT}", f"-{CONTROL}")
    keytap.expect(key("up"))
    keytap.quiet()


def test_a_chord_released_key_by_key(plasma, start):
    keytap, _ = bound(start)
    plasma.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{K}")
    keytap.expect(key("down"))
    plasma.keys(f"-{CONTROL}")  # the first key let go ends it
    keytap.expect(key("up"))
    plasma.keys(f"-{SHIFT}", f"-{K}")
    keytap.quiet()


def test_keys_another_app_holds_stay_with_it(plasma, start):
    chord = "Control+Shift+J"
    first, said = bound(start, "org.example.First", chord)
    assert said == {"accelerator": chord, "state": "bound", "trigger": "Ctrl+Shift+J"}
    second, said = bound(start, "org.example.Second", chord)
    # Plasma 6.3 says bound, with the keys keytap proposed, though the first app keeps them.
    assert said == {"accelerator": chord, "state": "bound", "trigger": "Ctrl+Shift+J"}
    plasma.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{J}", f"-{J}", f"-{SHIFT}", f"-{CONTROL}")
    first.expect(key("down", chord), key("up", chord))
    second.quiet()
    # Each under its own app id, which the portal's registry took from --portal=APP_ID.
    assert '"org.example.Second" "default" "Control+Shift+J"' in plasma.log("kwin")


def test_a_restarted_portal_keeps_the_app_id(plasma, start):
    keytap = start("--portal=org.example.Keytap", "--status")
    keytap.expect(READY)
    keytap.send("register", CHORD)
    keytap.expect({"t": "registered", "d": {"accelerator": CHORD}},
                  {"t": "binding", "d": {"accelerator": CHORD, "state": "bound",
                                         "trigger": "Ctrl+Shift+K"}})
    registered = plasma.log("kwin").count('"org.example.Keytap" "default" "Control+Shift+K"')
    # The bus starts the portal again on keytap's next call.
    subprocess.run(plasma.inside("sh", "-c", "for p in /proc/[0-9]*; do "
                                 "[ \"$(cat $p/comm)\" = xdg-desktop-por ] && kill ${p#/proc/}; "
                                 "done; true"), check=True)
    keytap.expect({"t": "status", "d": {"listening": False, "reason": "shortcut session closed"}},
                  {"t": "status", "d": {"listening": True}})
    # Bound again under the app's own id, which a new portal learns from keytap's new connection.
    assert plasma.log("kwin").count(
        '"org.example.Keytap" "default" "Control+Shift+K"') > registered
    plasma.keys(f"+{CONTROL}", f"+{SHIFT}", f"+{K}", f"-{K}", f"-{SHIFT}", f"-{CONTROL}")
    keytap.expect(key("down"), key("up"))


@pytest.mark.parametrize("chord, trigger, keys", [
    ("F13", "Tools", [F13]),  # the keysym the default keymap gives the F13 key
    # KWin hears Control+Shift+1 as "Ctrl+!": proposed so, it is stored so.
    ("Control+Shift+1", "Ctrl+!", [CONTROL, SHIFT, DIGIT_1]),
])
def test_keys_that_need_the_right_keysym(plasma, start, chord, trigger, keys):
    keytap, said = bound(start, chord=chord)
    assert said == {"accelerator": chord, "state": "bound", "trigger": trigger}
    plasma.keys(*[f"+{code}" for code in keys], *[f"-{code}" for code in reversed(keys)])
    keytap.expect(key("down", chord), key("up", chord))


def test_keys_cleared_in_the_settings_unbind_it(plasma, start):
    keytap, said = bound(start)
    assert said["state"] == "bound", said
    # What System Settings does when the user clears the shortcut: KDE keeps listing it, keyless.
    socket = plasma.address.split("unix:path=")[1].split(",")[0]
    bus = dbus.bus.BusConnection(f"unix:path=/proc/{plasma.first}/root{socket}")
    bus.get_object("org.kde.kglobalaccel", "/kglobalaccel").setForeignShortcutKeys(
        ["org.example.Keytap", CHORD, "org.example.Keytap", CHORD],
        dbus.Array([], signature="(ai)"), dbus_interface="org.kde.KGlobalAccel")
    keytap.expect({"t": "binding", "d": {"accelerator": CHORD, "state": "unbound", "trigger": ""}})
    bus.close()
