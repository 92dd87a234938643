"""The protocol with one keytap, without a process: what keytap's lines during a capture mean."""
import json
from typing import Dict, List, Tuple

import pytest

from keytap import CapturedChord, CaptureHeldEvent, CapturingEvent
from keytap._session import Session

# The commands the host sent, keytap's lines ("captured F1": a chord F1), and what they mean.
CAPTURES: Dict[str, Tuple[List[str], List[str], List[object]]] = {
    "begun, then a chord": (
        ["capture"], ["capturing", "captured F1"], [CapturingEvent(), CapturedChord("F1", "F1")]),
    "cancelled before keytap answered": (
        ["capture", "cancel_capture"], ["capturing", "capture_cancelled"], []),
    "a chord of a cancelled capture, then a new one": (
        ["capture", "cancel_capture", "capture"],
        ["capturing", "captured F1", "capture_cancelled", "capturing", "captured F2"],
        [CapturingEvent(), CapturedChord("F2", "F2")]),
    "modifiers held on the way to the chord": (
        ["capture"], ["capturing", "capture_held Control", "captured Control+K"],
        [CapturingEvent(), CaptureHeldEvent("Control", "Control"),
         CapturedChord("Control+K", "Control+K")]),
    "modifiers held for a cancelled capture": (
        ["capture", "cancel_capture"], ["capturing", "capture_held Control", "capture_cancelled"],
        []),
}


def line(text: str) -> str:
    kind, _, chord = text.partition(" ")
    return json.dumps({"t": kind, "d": {"accelerator": chord, "label": chord} if chord else {}})


@pytest.mark.parametrize("row", CAPTURES)
def test_what_the_lines_of_a_capture_mean(row: str) -> None:
    commands, lines, meant = CAPTURES[row]
    session = Session()
    for command in commands:
        session.command(command, "")
    outcomes = [outcome for text in lines for outcome in session.receive(line(text))]
    kinds = (CapturingEvent, CaptureHeldEvent, CapturedChord)
    assert [o for o in outcomes if isinstance(o, kinds)] == meant


def test_a_chord_held_already_says_by_whom() -> None:
    session = Session()
    session.command("capture", "")
    session.receive(line("capturing"))
    taken = {"t": "captured", "d": {"accelerator": "F1", "label": "F1", "taken": "system"}}
    assert session.receive(json.dumps(taken)) == [CapturedChord("F1", "F1", "system")]
