"""The client against the real keytap, the way a push-to-talk host uses it."""
import asyncio
import os
import signal
import stat
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

from typing import Dict, List

import pytest

import keytap
from conftest import BINARY, F5, RIGHT_ALT, W, Recorder, press

ENDINGS = {
    "released": (lambda k, display: press(display, f"-{F5}"), "up F5"),
    "unregistered": (lambda k, display: k.unregister("F5"), "up F5 synthetic unregistered"),
    "crashed": (lambda k, display: os.kill(k.pid, signal.SIGKILL), "up F5 synthetic exited"),
    "closed": (lambda k, display: k.close(), "up F5 synthetic closed"),
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_every_down_is_followed_by_exactly_one_up(ending: str, display: str) -> None:
    end, up = ENDINGS[ending]
    events = Recorder()
    k = keytap.start(binary=BINARY, env={"DISPLAY": display})
    k.on("down", events)
    k.on("up", events)
    k.register("F5")
    press(display, f"+{F5}")
    assert events.wait_for(1) == ["down F5"]
    end(k, display)
    assert events.wait_for(2) == ["down F5", up]
    press(display, f"-{F5}")  # a real release after a synthetic up says nothing more
    k.kill()
    assert events.wait_for(3, timeout=0.3) == ["down F5", up]


def test_extended_keys_and_mouse_buttons(display: str) -> None:
    events = Recorder()
    k = keytap.start(binary=BINARY, env={"DISPLAY": display}, extended_keys=True,
                     mouse_buttons=True)
    k.on("down", events)
    k.on("up", events)
    k.register("RightAlt")
    k.register("Mouse4")
    with pytest.raises(keytap.KeytapError) as raised:
        k.register("Fn")
    assert raised.value.code == "not_available"
    press(display, f"+{RIGHT_ALT}", f"-{RIGHT_ALT}", f"+{RIGHT_ALT}", f"+{W}", f"-{W}",
          f"-{RIGHT_ALT}", "+b8", "-b8")
    assert events.wait_for(6) == ["down RightAlt", "up RightAlt alone", "down RightAlt",
                                  "up RightAlt chord", "down Mouse4", "up Mouse4"]
    assert k.close() == 0


def test_fire_and_forget_commands_then_close_raise_nothing() -> None:
    async def host() -> None:
        k = await keytap.aio.start(binary=BINARY, env={})
        sent = [k.unregister(f"K{i}") for i in range(500)]  # none awaited
        assert await k.close() == 0
        assert await asyncio.gather(*sent) == [f"K{i}" for i in range(500)]

    asyncio.run(host())


def test_a_silent_keytap_times_out(tmp_path: Path) -> None:
    silent = tmp_path / "silent-keytap"
    silent.write_text("#!/bin/sh\nexec sleep 30\n")
    silent.chmod(0o755)
    with pytest.raises(keytap.KeytapError) as raised:
        keytap.start(binary=str(silent), timeout=0.3)
    assert raised.value.code == "timeout"


def test_auto_restart_registers_again_and_keys_work(display: str) -> None:
    events = Recorder()
    restarted = threading.Event()
    k = keytap.start(binary=BINARY, env={"DISPLAY": display}, auto_restart=True)
    k.on("restart", lambda info: restarted.set())
    k.on("down", events)
    k.on("up", events)
    k.register("F5")
    first = k.pid
    os.kill(first, signal.SIGKILL)
    assert restarted.wait(10)
    assert k.pid != first and k.registered() == ["F5"]
    press(display, f"+{F5}", f"-{F5}")
    assert events.wait_for(2) == ["down F5", "up F5"]
    k.close()


def test_a_consumed_key_stays_kept_across_a_restart(display: str) -> None:
    restarted = threading.Event()
    keeper = keytap.start(binary=BINARY, env={"DISPLAY": display}, consume=True,
                          auto_restart=True)
    keeper.on("restart", lambda info: restarted.set())
    other = keytap.start(binary=BINARY, env={"DISPLAY": display}, consume=True)
    keeper.register("F9", consume=True)
    os.kill(keeper.pid, signal.SIGKILL)
    assert restarted.wait(10)
    # On X11 a chord one keytap keeps is refused to the next.
    with pytest.raises(keytap.KeytapError) as refused:
        other.register("F9", consume=True)
    assert refused.value.code == "conflict"
    keeper.unregister("F9")
    assert other.register("F9", consume=True) == "F9"
    keeper.close()
    other.close()


def test_asyncio_push_to_talk(display: str) -> None:
    async def host() -> list:  # type: ignore[type-arg]
        said = []
        async with await keytap.aio.start(binary=BINARY, env={"DISPLAY": display}) as k:
            await k.register("F5")
            press(display, f"+{F5}", f"-{F5}")
            async for event in k.events():
                said.append(f"{event.kind} {event.accelerator}")  # type: ignore[union-attr]
                if len(said) == 2:
                    break
        return said

    assert asyncio.run(host()) == ["down F5", "up F5"]


def test_capture_blocking_and_asyncio(display: str) -> None:
    control, shift, k_key = "37", "50", "45"
    k = keytap.start(binary=BINARY, env={"DISPLAY": display}, capture=True)
    # Keys pressed before keytap records would be lost: they wait for "capturing".
    began = threading.Event()
    k.on("capturing", lambda event: began.set())
    held: List[str] = []
    k.on("capture_held", lambda event: held.append(event.label))

    def press_once_begun() -> None:
        if began.wait(10):
            press(display, f"+{control}", f"+{k_key}", f"-{k_key}", f"-{control}")

    presser = threading.Thread(target=press_once_begun)
    presser.start()
    assert k.capture(timeout=10) == keytap.CapturedChord("Control+K", "Ctrl+K")
    presser.join()
    assert held == ["Ctrl"]
    with pytest.raises(keytap.KeytapError) as raised:
        k.capture(timeout=0.2)
    assert raised.value.code == "timeout"
    assert k.describe("Ctrl+Shift+F5") == "Ctrl+Shift+F5"
    k.close()

    async def host() -> keytap.CapturedChord:
        async with await keytap.aio.start(binary=BINARY, env={"DISPLAY": display},
                                          capture=True) as a:
            chord = asyncio.ensure_future(a.capture())
            async for event in a.events():
                if isinstance(event, keytap.CapturingEvent):
                    break
            press(display, f"+{shift}", f"+{k_key}", f"-{k_key}", f"-{shift}")
            captured = await asyncio.wait_for(chord, 10)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(a.capture(), 0.2)
            return captured

    assert asyncio.run(host()) == keytap.CapturedChord("Shift+K", "Shift+K")


# How keytap can end while a capture waits, and the code the capture then fails with; a restart
# (auto_restart) ends it too.
CAPTURE_LOST = {"exited": ("exited", False), "closed": ("closed", False),
                "killed": ("killed", False), "restarted": ("exited", True)}


def end(k: keytap.Keytap, code: str) -> None:
    if code == "exited":
        os.kill(k.pid, signal.SIGKILL)  # type: ignore[arg-type]
    elif code == "closed":
        k.close()
    else:
        k.kill()


@pytest.mark.parametrize("row", CAPTURE_LOST)
def test_a_capture_fails_when_keytap_ends(row: str, display: str) -> None:
    code, auto_restart = CAPTURE_LOST[row]
    k = keytap.start(binary=BINARY, env={"DISPLAY": display}, capture=True,
                     auto_restart=auto_restart)
    restarted = threading.Event()
    k.on("restart", lambda info: restarted.set())
    ender = threading.Thread(target=end, args=(k, code))
    k.on("capturing", lambda event: ender.start())
    with pytest.raises(keytap.KeytapError) as raised:
        k.capture(timeout=10)
    ender.join()
    assert raised.value.code == code
    if auto_restart:
        assert restarted.wait(10)  # then kill() ends the new keytap
    k.kill()


@pytest.mark.parametrize("row", CAPTURE_LOST)
def test_an_asyncio_capture_fails_when_keytap_ends(row: str, display: str) -> None:
    code, auto_restart = CAPTURE_LOST[row]

    async def host() -> str:
        a = await keytap.aio.start(binary=BINARY, env={"DISPLAY": display}, capture=True,
                                   auto_restart=auto_restart)
        first = a.pid
        chord = asyncio.ensure_future(a.capture())
        async for event in a.events():
            if isinstance(event, keytap.CapturingEvent):
                break
        if code == "exited":
            os.kill(first, signal.SIGKILL)  # type: ignore[arg-type]
        else:
            await (a.close() if code == "closed" else a.kill())
        with pytest.raises(keytap.KeytapError) as raised:
            await asyncio.wait_for(chord, 10)
        for _ in range(100):  # the new keytap, so that kill() ends it
            if not auto_restart or a.pid != first:
                break
            await asyncio.sleep(0.1)
        await a.kill()
        return raised.value.code

    assert asyncio.run(host()) == code


WHEELS = Path(os.environ.get("KEYTAP_WHEELS", Path(__file__).parents[3] / "dist" / "python"))


@pytest.mark.skipif(not list(WHEELS.glob("*.whl")), reason="no wheels: make dist")
def test_the_wheel_installs_and_finds_its_own_binary(tmp_path: Path,
                                                     session: Dict[str, str]) -> None:
    (wheel,) = WHEELS.glob("*-manylinux_2_17_x86_64.*.whl")
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(venv)], check=True)
    subprocess.run([venv / "bin" / "pip", "install", "-q", "--no-index", str(wheel)], check=True)
    version = (Path(__file__).parents[3] / "VERSION").read_text().strip()
    answer = subprocess.run([venv / "bin" / "keytap", "--version"], capture_output=True, text=True)
    assert answer.stdout == f"keytap {version}\n"

    host = ("import keytap, sys\n"
            "k = keytap.start()\n"
            "k.on('up', lambda event: print('up', event.accelerator, flush=True))\n"
            "k.register('F5')\n"
            "print('registered', flush=True)\n"
            "sys.stdin.readline()\n"
            "k.close()\n")
    child = subprocess.Popen([venv / "bin" / "python", "-c", host], env=session, text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=tmp_path)
    assert child.stdout is not None and child.stdin is not None
    assert child.stdout.readline() == "registered\n"
    press(session["DISPLAY"], f"+{F5}", f"-{F5}")
    assert child.stdout.readline() == "up F5\n"
    child.stdin.close()
    assert child.wait(10) == 0


@pytest.mark.skipif(not list(WHEELS.glob("*.whl")), reason="no wheels: make dist")
def test_every_wheel_holds_its_binary_under_its_tags() -> None:
    expected = {"manylinux_2_17_x86_64": "keytap", "manylinux_2_17_aarch64": "keytap",
                "macosx_26_0_universal2": "keytap", "win_amd64": "keytap.exe"}
    for wheel in WHEELS.glob("*.whl"):
        tags = wheel.name[:-len(".whl")].split("-py3-none-")[1].split(".")
        (binary,) = [expected[tag] for tag in tags if tag in expected]
        with zipfile.ZipFile(wheel) as archive:
            entry = archive.getinfo(f"keytap/_bin/{binary}")
            assert stat.S_IMODE(entry.external_attr >> 16) == 0o755, wheel.name
            info = next(name for name in archive.namelist() if name.endswith(".dist-info/WHEEL"))
            listed = [line[len("Tag: "):] for line in archive.read(info).decode().splitlines()
                      if line.startswith("Tag: ")]
            assert listed == [f"py3-none-{tag}" for tag in tags], wheel.name
            assert "keytap/py.typed" in archive.namelist()
            # MIT, and what the binary carries statically, with their notices beside it.
            assert archive.read("keytap/_bin/LICENSE").startswith(b"MIT License"), wheel.name
            notices = archive.read("keytap/_bin/THIRD-PARTY-NOTICES.txt")
            assert b"nlohmann-json" in notices, wheel.name
            metadata = next(name for name in archive.namelist() if name.endswith("/METADATA"))
            license = ("MIT AND LGPL-2.1-or-later AND (AFL-2.1 OR GPL-2.0-or-later)"
                       if "linux" in wheel.name else
                       "SEE LICENSE IN THIRD-PARTY-NOTICES.txt" if "win" in wheel.name else "MIT")
            assert f"License: {license}\n" in archive.read(metadata).decode(), wheel.name
