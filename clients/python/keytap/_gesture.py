"""Tap, hold and double-tap over one accelerator's "down" and "up", judged on keytap's ``at``
times."""
import threading
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Protocol

from ._events import GestureEvent, GestureKind, KeyEvent
from ._session import now_ms

if TYPE_CHECKING:
    from ._client import Keytap

HOLD_MS = 250.0
DOUBLE_TAP_MS = 300.0
MAX_MS = 2.0**31 - 1  # as the Node client's timers allow; an infinite one would never be set
GestureCallback = Callable[[GestureEvent], None]


class Recognizer:
    """The decision alone, without a clock: fed key events and the times a timer finds due, it
    says which gestures they make. Until a key comes, the next decision falls due at
    :attr:`deadline`."""

    def __init__(self, accelerator: str, hold_ms: float = HOLD_MS,
                 double_tap_ms: float = DOUBLE_TAP_MS) -> None:
        if not (0 <= hold_ms <= MAX_MS and 0 <= double_tap_ms <= MAX_MS):
            raise ValueError(f"hold_ms and double_tap_ms must be from 0 to {MAX_MS:g} ms")
        self.accelerator, self.hold_ms, self.double_tap_ms = accelerator, hold_ms, double_tap_ms
        # pressed: down, not yet a hold; tapped: a tap released, a second press may follow. The
        # second press of a double-tap leaves it idle: its up, and how long it was held, say
        # nothing.
        self.state = "idle"
        self.at = 0.0  # of the down (pressed, holding) or of the tap's up (tapped)

    @property
    def deadline(self) -> Optional[float]:
        if self.state == "pressed":
            return self.at + self.hold_ms
        if self.state == "tapped":
            return self.at + self.double_tap_ms
        return None

    def tick(self, now: float) -> List[GestureEvent]:
        """What is due by ``now``: a press held ``hold_ms`` is a hold, a tap with no second press
        is a tap."""
        due = self.deadline
        if due is None or now < due:
            return []
        if self.state == "pressed":
            self.state = "holding"
            return [self._said("hold-start", self.at)]
        self.state = "idle"
        return [self._said("tap", self.at)]

    def key(self, event: KeyEvent) -> List[GestureEvent]:
        """A "down" or "up"; what fell due before its time is decided first, a late timer or
        not."""
        at = event.at
        gestures = self.tick(at)
        # Only a key released is a tap: a press the client cut short before it was a hold is
        # nothing.
        if event.synthetic and self.state == "pressed":
            self.state = "idle"
            return gestures
        if event.kind == "down" and self.state == "tapped":
            self.state = "idle"
            gestures.append(self._said("double-tap", at))
        elif event.kind == "down" and self.state == "idle":
            self.state, self.at = "pressed", at
        elif event.kind == "up" and self.state == "pressed":
            self.state, self.at = "tapped", at
        elif event.kind == "up" and self.state == "holding":
            self.state = "idle"
            gestures.append(GestureEvent("hold-end", self.accelerator, at, event.synthetic,
                                         event.reason))
        return gestures + self.tick(at)  # a window of 0 ms is over at once

    def end(self, at: float) -> List[GestureEvent]:
        """No more keys: a hold open ends, a tap waiting for a second press is reported."""
        if self.state == "tapped":
            return self.tick(self.at + self.double_tap_ms)
        return self.key(KeyEvent("up", self.accelerator, at, True, "closed"))

    def _said(self, kind: GestureKind, at: float) -> GestureEvent:
        return GestureEvent(kind, self.accelerator, at)


class Cancellable(Protocol):
    def cancel(self) -> None: ...


class Gesture:
    """The gestures of one accelerator, made by :meth:`Keytap.gesture`. Callbacks run on the
    client's reader thread, or on a timer's thread for a "hold-start" or a "tap" that comes
    while no key does: do not wait there for a reply either."""

    def __init__(self, keytap: "Keytap", accelerator: str, hold_ms: float,
                 double_tap_ms: float) -> None:
        self.accelerator = accelerator
        self._recognizer = Recognizer(accelerator, hold_ms, double_tap_ms)
        self._listeners: Dict[str, List[GestureCallback]] = {}
        self._lock = threading.RLock()  # the reader and the timers feed it
        self._timer: Optional[Cancellable] = None
        self._keytap = keytap
        self._hooks: Dict[str, Callable[..., None]] = {
            "down": self._heard(self._key), "up": self._heard(self._key),
            "exit": self._heard(lambda _code: self.close())}
        for kind, hook in self._hooks.items():
            keytap.on(kind, hook)

    def on(self, kind: GestureKind, callback: GestureCallback) -> None:
        """Calls ``callback`` with a :class:`GestureEvent` for "tap", "hold-start", "hold-end"
        or "double-tap"."""
        self._listeners.setdefault(kind, []).append(callback)

    def close(self) -> None:
        """No more gestures: a hold open gets its "hold-end" (reason "closed"), a tap waiting
        comes now. keytap ending for good closes it too."""
        for kind, hook in self._hooks.items():
            self._keytap.off(kind, hook)
        self._run(lambda: self._recognizer.end(now_ms()), 0.0)

    def _heard(self, hook: Callable[..., None]) -> Callable[..., None]:
        """The hook as the client calls it; the asyncio face moves it onto its loop."""
        return hook

    def _later(self, seconds: float, callback: Callable[[], None]) -> Cancellable:
        timer = threading.Timer(seconds, callback)
        timer.daemon = True
        timer.start()
        return timer

    def _key(self, event: KeyEvent) -> None:
        if event.accelerator == self.accelerator:
            self._run(lambda: self._recognizer.key(event), event.at)

    def _run(self, decide: Callable[[], List[GestureEvent]], at: float) -> None:
        # The timer runs from when the event at ``at`` was heard: keytap's clock and the
        # client's may differ, the length of a window does not.
        with self._lock:
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None
            gestures = decide()
            due = self._recognizer.deadline
            if due is not None:
                self._timer = self._later((due - at) / 1000.0, self._ticker(due))
            for gesture in gestures:
                for listener in list(self._listeners.get(gesture.kind, ())):
                    listener(gesture)

    def _ticker(self, due: float) -> Callable[[], None]:
        # A timer past cancelling as a key comes says only that its time has come: harmless.
        return lambda: self._run(lambda: self._recognizer.tick(due), due)
