"""A desktop for keytap --portal: a private session bus, the real xdg-desktop-portal frontend, and
behind it the GlobalShortcuts backend of global_shortcuts_backend.py (python-dbusmock), chosen by
a .portal file under keytap's own XDG_CURRENT_DESKTOP. Every process is ended by its PID."""
import ctypes
import json
import os
import select
import signal
import subprocess
import time
from pathlib import Path
from typing import Dict, Iterator, List, Optional

import dbus
import pytest

HERE = Path(__file__).resolve().parent
BINARY = os.environ.get("KEYTAP_BINARY", str(HERE.parents[1] / "build" / "keytap"))
PORTAL = "/usr/libexec/xdg-desktop-portal"
BACKEND = "org.freedesktop.impl.portal.desktop.keytaptest"
KDE_BACKEND = "org.freedesktop.impl.portal.desktop.kde"
DESKTOP = "keytaptest"
WAIT = 10.0
PR_SET_PDEATHSIG = 1


def dies_with_test() -> None:
    """In a child before it runs: killed too, should the test be killed before it ends it."""
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def _wait_for_name(bus: dbus.Bus, name: str, process: subprocess.Popen) -> None:
    deadline = time.monotonic() + WAIT
    while not bus.name_has_owner(name):
        assert process.poll() is None, f"{process.args[0]} ended before it took {name}"
        assert time.monotonic() < deadline, f"nobody took {name}"
        time.sleep(0.02)


class Desktop:
    """The bus, the backend the tests steer, and the portal, which can be restarted."""

    def __init__(self, folder: Path, backend: str) -> None:
        portals = folder / "portals"
        portals.mkdir()
        (portals / f"{DESKTOP}.portal").write_text(
            f"[portal]\nDBusName={backend}\n"
            "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts\n"
            f"UseIn={DESKTOP}\n")
        # Portals from 1.17 on choose by portals.conf instead, found under XDG_CONFIG_HOME.
        (folder / "xdg-desktop-portal").mkdir()
        (folder / "xdg-desktop-portal" / f"{DESKTOP}-portals.conf").write_text(
            f"[preferred]\norg.freedesktop.impl.portal.GlobalShortcuts={DESKTOP}\n")
        self.env = dict(os.environ, XDG_CURRENT_DESKTOP=DESKTOP,
                        XDG_DESKTOP_PORTAL_DIR=str(portals), XDG_CONFIG_HOME=str(folder),
                        XDG_DATA_HOME=str(folder), XDG_RUNTIME_DIR=str(folder),
                        KEYTAP_BACKEND_NAME=backend)
        # No service is started on demand: whatever runs on the bus, the test started.
        config = folder / "bus.conf"
        config.write_text(
            '<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
            ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
            f'<busconfig><type>session</type><listen>unix:path={folder}/bus</listen>'
            '<auth>EXTERNAL</auth><policy context="default">'
            '<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
            '<allow own="*"/></policy></busconfig>\n')
        self.processes: List[subprocess.Popen] = []
        self.daemon = self._start(["dbus-daemon", f"--config-file={config}", "--nofork",
                                   "--print-address=1"], stdout=subprocess.PIPE)
        address = self.daemon.stdout.readline().decode().strip()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.bus = dbus.bus.BusConnection(address)
        mock = self._start([
            "/usr/bin/python3", "-m", "dbusmock", "--template",
            str(HERE / "global_shortcuts_backend.py")])
        _wait_for_name(self.bus, backend, mock)
        self.mock = dbus.Interface(self.bus.get_object(backend, "/org/freedesktop/portal/desktop"),
                                   "org.freedesktop.DBus.Mock")
        self.portal: Optional[subprocess.Popen] = None
        self.start_portal()

    def _start(self, command: List[str], **streams) -> subprocess.Popen:
        process = subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, preexec_fn=dies_with_test,
                                   **streams)
        self.processes.append(process)
        return process

    def start_portal(self) -> None:
        self.portal = self._start([PORTAL, "--replace"], stdout=subprocess.DEVNULL)
        _wait_for_name(self.bus, "org.freedesktop.portal.Desktop", self.portal)

    def start_hostile_portal(self, session_handle: Optional[str]) -> dbus.Interface:
        """In place of the portal, one that answers with this session handle, or not at all;
        returns its mock interface."""
        self.stop_portal()
        hostile = self._start([
            "/usr/bin/python3", "-m", "dbusmock", "--template", str(HERE / "hostile_portal.py"),
            "--parameters", json.dumps({"session_handle": session_handle})])
        _wait_for_name(self.bus, "org.freedesktop.portal.Desktop", hostile)
        return dbus.Interface(self.bus.get_object("org.freedesktop.portal.Desktop",
                                                  "/org/freedesktop/portal/desktop"),
                              "org.freedesktop.DBus.Mock")

    def stop_portal(self) -> None:
        self.portal.kill()
        self.portal.wait()
        while self.bus.name_has_owner("org.freedesktop.portal.Desktop"):
            time.sleep(0.02)

    def end(self) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()


class Keytap:
    """keytap over pipes, its lines read as JSON with a deadline."""

    def __init__(self, command: List[str], env: Dict[str, str]) -> None:
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, preexec_fn=dies_with_test)
        self.buffered = b""

    def send(self, kind: str, accelerator: str = "") -> None:
        line = {"t": kind, "d": {"accelerator": accelerator} if accelerator else {}}
        self.process.stdin.write(json.dumps(line).encode() + b"\n")
        self.process.stdin.flush()

    def next(self, timeout: float = WAIT) -> dict:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffered:
            left = deadline - time.monotonic()
            assert left > 0, "keytap said nothing more"
            if select.select([self.process.stdout], [], [], left)[0]:
                chunk = os.read(self.process.stdout.fileno(), 65536)
                assert chunk, "keytap ended"
                self.buffered += chunk
        line, self.buffered = self.buffered.split(b"\n", 1)
        return json.loads(line)

    def expect(self, *lines: dict) -> None:
        """The next lines are these, with "at" checked for being a number and left out."""
        for wanted in lines:
            said = self.next()
            at = said.get("d", {}).pop("at", None)
            if said["t"] in ("down", "up"):
                assert isinstance(at, float), said
            assert said == wanted

    def quiet(self, seconds: float = 0.3) -> None:
        """Nothing more is said for a while."""
        assert not select.select([self.process.stdout], [], [], seconds)[0] and \
            b"\n" not in self.buffered, self.buffered + os.read(self.process.stdout.fileno(), 4096)

    def end(self) -> None:
        self.process.kill()
        self.process.wait()


@pytest.fixture
def desktop(tmp_path: Path, request: pytest.FixtureRequest) -> Iterator[Desktop]:
    """The desktop, whose backend has the bus name the test gives (indirect), else a name of its
    own."""
    made = Desktop(tmp_path, getattr(request, "param", BACKEND))
    yield made
    made.end()


@pytest.fixture
def start(desktop: Desktop) -> Iterator:
    """Starts keytap in the desktop's session, as a Wayland client whose evdev reads nothing."""
    started: List[Keytap] = []

    def starting(*args: str, current_desktop: Optional[str] = None) -> Keytap:
        """keytap with the arguments, in the session of `current_desktop`: by default KDE where
        the backend has KDE's name, else the desktop's own."""
        kde = desktop.env["KEYTAP_BACKEND_NAME"] == KDE_BACKEND
        env = dict(desktop.env, WAYLAND_DISPLAY="wayland-keytap-test",
                   XDG_CURRENT_DESKTOP=current_desktop or ("KDE" if kde else DESKTOP))
        env.pop("DISPLAY", None)
        started.append(Keytap([BINARY, *args], env))
        return started[-1]

    yield starting
    for keytap in started:
        keytap.end()
