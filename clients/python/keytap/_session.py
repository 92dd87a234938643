"""The protocol with one keytap process, without any I/O: replies are matched to commands by
order (the protocol has no request ids), and every "down" delivered is closed by exactly one
"up"."""
import json
import time
from collections import deque
from dataclasses import dataclass
from typing import Deque, Dict, List, Optional, Set, Tuple, Union

from ._errors import KeytapError
from ._events import (BindingEvent, CapturedChord, CaptureHeldEvent, CapturingEvent, KeyEvent,
                      StatusEvent)


@dataclass(frozen=True)
class Ready:
    permission: str


@dataclass(frozen=True)
class Reply:
    """The answer to the oldest command in flight."""

    command: str  # "register", "unregister", "capture", "cancel_capture" or "describe"
    text: str  # the accelerator; empty for capture and cancel_capture
    error: Optional[KeytapError]
    label: str = ""  # what "described" said


Outcome = Union[Ready, Reply, KeyEvent, StatusEvent, BindingEvent, CapturedChord, CapturingEvent,
                CaptureHeldEvent]


def now_ms() -> float:
    return time.time() * 1000.0


def reply_error(code: str, message: str) -> KeytapError:
    """keytap's "error" reply, with a code a program can switch on; the message stays keytap's."""
    if code == "bad_request" and message.startswith("unknown accelerator: "):
        return KeytapError("unknown_accelerator", message)
    if code == "bad_request" and message.startswith("not available on this platform: "):
        return KeytapError("not_available", message)
    return KeytapError(code, message)


class Session:
    """One keytap process's commands in flight and the accelerators it holds down."""

    def __init__(self) -> None:
        self.in_flight: Deque[Tuple[str, str]] = deque()  # (command, text), oldest first
        self.registered: Set[str] = set()
        self.held: List[str] = []  # in the order they went down

    def command(self, command: str, text: str, consume: bool = False) -> bytes:
        """The line of a command; capture and cancel_capture carry no accelerator."""
        self.in_flight.append((command, text))
        data: Dict[str, object] = {}
        if command not in ("capture", "cancel_capture"):
            data["accelerator"] = text
        if consume:
            data["consume"] = True
        line = json.dumps({"t": command, "d": data}, separators=(",", ":"))
        return (line + "\n").encode()

    def receive(self, line: str) -> List[Outcome]:
        """What one line from keytap means; a line it cannot understand means nothing."""
        try:
            message = json.loads(line)
            kind, data = message["t"], message["d"]
        except (ValueError, KeyError, TypeError):
            return []
        if kind == "ready":
            return [Ready(str(data.get("permission")))]
        if kind in ("registered", "unregistered", "error", "capturing", "capture_cancelled",
                    "described"):
            return self._reply(kind, data)
        if kind == "captured":
            # Pressed before keytap heard the host's cancel: the host wants it no more, and a
            # capture it started since must not take it.
            if self._cancelling():
                return []
            taken = data.get("taken")
            return [CapturedChord(str(data.get("accelerator")), str(data.get("label")),
                                  taken if isinstance(taken, str) else None)]
        if kind == "capture_held":
            if self._cancelling():
                return []
            return [CaptureHeldEvent(str(data.get("accelerator")), str(data.get("label")))]
        if kind == "status":
            return [StatusEvent(bool(data.get("listening")), data.get("reason"))]
        if kind == "binding":
            return [BindingEvent(str(data.get("accelerator")), str(data.get("state")),
                                 str(data.get("trigger", "")))]
        text = data.get("accelerator")
        if kind == "down" and text in self.registered and text not in self.held:
            self.held.append(text)
            return [KeyEvent("down", text, float(data.get("at", now_ms())))]
        if kind == "up" and text in self.held:
            self.held.remove(text)
            alone = data.get("alone")
            return [KeyEvent("up", text, float(data.get("at", now_ms())),
                             alone=alone if isinstance(alone, bool) else None)]
        return []

    def _reply(self, kind: str, data: dict) -> List[Outcome]:  # type: ignore[type-arg]
        if not self.in_flight:
            return []
        command, text = self.in_flight.popleft()
        if kind == "error":
            error = reply_error(str(data.get("code")), str(data.get("message")))
            return [Reply(command, text, error)]
        if kind in ("capturing", "capture_cancelled", "described"):
            reply: List[Outcome] = [Reply(command, text, None, str(data.get("label", "")))]
            # A capture the host has cancelled already has not begun for it.
            if kind == "capturing" and command == "capture" and not self._cancelling():
                reply.append(CapturingEvent())
            return reply
        outcomes: List[Outcome] = []
        if kind == "registered":
            self.registered.add(text)
        else:
            self.registered.discard(text)
            outcomes += self.close_hold(text, "unregistered")
        return outcomes + [Reply(command, text, None)]

    def _cancelling(self) -> bool:
        return ("cancel_capture", "") in self.in_flight

    def close_hold(self, text: str, reason: str) -> List[Outcome]:
        if text not in self.held:
            return []
        self.held.remove(text)
        return [KeyEvent("up", text, now_ms(), True, reason)]

    def close_all(self, reason: str) -> List[Outcome]:
        """Synthetic "up"s for every hold, when keytap can no longer send the real ones."""
        outcomes: List[Outcome] = []
        for text in list(self.held):
            outcomes += self.close_hold(text, reason)
        return outcomes
