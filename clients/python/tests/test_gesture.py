"""Tap, hold and double-tap: the decision driven by explicit times, then over the real keytap in
both faces."""
import asyncio
import os
import signal
from typing import Callable, Dict, List, Tuple

import pytest

import keytap
from conftest import BINARY, F5, Recorder, press
from keytap._events import GestureKind
from keytap._gesture import Recognizer

KINDS: Tuple[GestureKind, ...] = ("tap", "hold-start", "hold-end", "double-tap")

# Each row: the options, what the recognizer is fed ("down 0", "up 300 exited" for a synthetic
# up, "tick 250" for a timer due then, "end 260" for close()), and what it reports, in order.
ROWS: Dict[str, Tuple[Dict[str, float], str, str]] = {
    "a short press is a tap once no second one follows": (
        {}, "down 0, up 100, tick 400", "tap 100"),
    "the tap waits out its double-tap window": ({}, "down 0, up 100, tick 399", ""),
    "held to hold_ms: hold-start from the timer, hold-end at the release": (
        {}, "down 0, tick 250, up 900", "hold-start 0, hold-end 900"),
    "a timer that came late: a release under hold_ms by its time is a tap": (
        {}, "down 0, up 249, tick 549", "tap 249"),
    "no timer before the release: its time shows the hold": (
        {}, "down 0, up 250", "hold-start 0, hold-end 250"),
    "a second press within double_tap_ms of the release": (
        {}, "down 0, up 100, down 399, up 450, tick 2000", "double-tap 399"),
    "a second press at double_tap_ms: two taps": (
        {}, "down 0, up 100, down 400, up 450, tick 750", "tap 100, tap 450"),
    "the second press of a double-tap held long is no hold": (
        {}, "down 0, up 100, down 200, tick 450, up 900", "double-tap 200"),
    "a hold then a short press: a tap, no double-tap": (
        {}, "down 0, tick 250, up 300, down 350, up 400, tick 700",
        "hold-start 0, hold-end 300, tap 400"),
    "a hold cut by unregister": (
        {}, "down 0, tick 250, up 300 unregistered", "hold-start 0, hold-end 300 unregistered"),
    "a hold cut by exit": (
        {}, "down 0, tick 250, up 300 exited", "hold-start 0, hold-end 300 exited"),
    "a press cut before it was a hold is no gesture": ({}, "down 0, up 100 exited, tick 1000", ""),
    "a hold cut before its timer came": (
        {}, "down 0, up 400 unregistered", "hold-start 0, hold-end 400 unregistered"),
    "close ends a hold": ({}, "down 0, tick 250, end 260", "hold-start 0, hold-end 260 closed"),
    "close reports a tap still waiting": ({}, "down 0, up 100, end 150", "tap 100"),
    "double_tap_ms 0: every tap at its release": (
        {"double_tap_ms": 0}, "down 0, up 100, down 150, up 200", "tap 100, tap 200"),
    "hold_ms 0: every press a hold at once": (
        {"hold_ms": 0}, "down 0, up 10", "hold-start 0, hold-end 10"),
    "other times": ({"hold_ms": 500, "double_tap_ms": 100},
                    "down 0, up 499, down 598, up 600, down 1000, tick 1500",
                    "double-tap 598, hold-start 1000"),
}


@pytest.mark.parametrize("row", ROWS)
def test_gestures_from_down_and_up_times(row: str) -> None:
    options, inputs, expected = ROWS[row]
    recognizer = Recognizer("F5", **options)
    said = []
    for text in inputs.split(", "):
        what, time, *cut = text.split(" ")
        at = float(time)
        if what == "tick":
            gestures = recognizer.tick(at)
        elif what == "end":
            gestures = recognizer.end(at)
        else:
            reason = cut[0] if cut else None
            gestures = recognizer.key(keytap.KeyEvent(what, "F5", at, reason is not None, reason))
        said += [" ".join([g.kind, f"{g.at:g}", *([g.reason] if g.reason else [])])
                 for g in gestures]
    assert said == (expected.split(", ") if expected else [])


def test_times_are_from_0_ms_to_a_timers_longest_wait() -> None:
    for options in ({"hold_ms": -1.0}, {"double_tap_ms": float("nan")},
                    {"hold_ms": float("inf")}, {"double_tap_ms": 2.0**31}):
        with pytest.raises(ValueError):
            Recognizer("F5", **options)


# A hold that the timer began, ended by the key or cut: what the hold-end says.
ENDS: Dict[str, Tuple[Callable[[keytap.Keytap, keytap.Gesture, str], object], str]] = {
    "released": (lambda k, g, display: press(display, f"-{F5}"), "hold-end F5"),
    "unregistered": (lambda k, g, display: k.unregister("F5"),
                     "hold-end F5 synthetic unregistered"),
    "crashed": (lambda k, g, display: os.kill(k.pid, signal.SIGKILL),  # type: ignore[arg-type]
                "hold-end F5 synthetic exited"),
    "closed": (lambda k, g, display: k.close(), "hold-end F5 synthetic closed"),
    "gesture closed": (lambda k, g, display: g.close(), "hold-end F5 synthetic closed"),
}


@pytest.mark.parametrize("ending", ENDS)
def test_every_hold_start_gets_one_hold_end(ending: str, display: str) -> None:
    end, hold_end = ENDS[ending]
    events = Recorder()
    k = keytap.start(binary=BINARY, env={"DISPLAY": display})
    gesture = k.gesture("F5", hold_ms=20)
    for kind in KINDS:
        gesture.on(kind, events)
    k.register("F5")
    press(display, f"+{F5}")
    assert events.wait_for(1) == ["hold-start F5"]
    end(k, gesture, display)
    assert events.wait_for(2) == ["hold-start F5", hold_end]
    press(display, f"-{F5}")  # a real release after a cut says nothing more
    k.kill()  # every key heard before it has been delivered
    assert events.said == ["hold-start F5", hold_end]


def test_a_closed_gesture_hears_no_more_keys(display: str) -> None:
    events, keys = Recorder(), Recorder()
    with keytap.start(binary=BINARY, env={"DISPLAY": display}) as k:
        gesture = k.gesture("F5", hold_ms=0, double_tap_ms=0)
        for kind in KINDS:
            gesture.on(kind, events)
        k.on("down", keys)
        k.register("F5")
        gesture.close()
        press(display, f"+{F5}", f"-{F5}")
        k.unregister("F5")  # every key pressed before it has been delivered
    assert keys.said == ["down F5"] and events.said == []


# Keys pressed, with the windows (hold_ms, double_tap_ms), and the gestures they make.
PRESSES: Dict[str, Tuple[float, float, List[str], List[str]]] = {
    "a tap, once its window is over": (10000, 20, [f"+{F5}", f"-{F5}"], ["tap F5"]),
    "a double-tap": (10000, 10000, [f"+{F5}", f"-{F5}", f"+{F5}", f"-{F5}"], ["double-tap F5"]),
}


@pytest.mark.parametrize("row", PRESSES)
def test_taps_over_keytap(row: str, display: str) -> None:
    hold_ms, double_tap_ms, keys, expected = PRESSES[row]
    events = Recorder()
    with keytap.start(binary=BINARY, env={"DISPLAY": display}) as k:
        gesture = k.gesture("F5", hold_ms=hold_ms, double_tap_ms=double_tap_ms)
        gesture.on("tap", events)
        gesture.on("double-tap", events)
        k.register("F5")
        press(display, *keys)
        assert events.wait_for(len(expected)) == expected


def test_asyncio_gestures_end_with_keytap(display: str) -> None:
    async def host() -> List[str]:
        k = await keytap.aio.start(binary=BINARY, env={"DISPLAY": display})
        gesture = k.gesture("F5", hold_ms=20)
        await k.register("F5")
        press(display, f"+{F5}")
        said = []
        async for event in gesture.events():  # until keytap has ended
            said.append(f"{event.kind} {event.reason}")
            if event.kind == "hold-start":
                await k.kill()
        return said

    assert asyncio.run(asyncio.wait_for(host(), 10)) == ["hold-start None", "hold-end killed"]
