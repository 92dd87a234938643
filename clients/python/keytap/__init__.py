"""keytap for Python: system-wide keyboard shortcuts with both press and release.

Two faces over one client: :func:`start` (blocking; callbacks run on a thread of the client)
and :func:`keytap.aio.start` (asyncio). Every "down" delivered is followed by exactly one "up".
"""
from . import aio
from ._client import Keytap, start
from ._errors import KeytapError
from ._events import (BindingEvent, CapturedChord, CaptureHeldEvent, CapturingEvent, GestureEvent,
                      KeyEvent, StatusEvent)
from ._gesture import Gesture

__all__ = ["BindingEvent", "CapturedChord", "CaptureHeldEvent", "CapturingEvent", "Gesture",
           "GestureEvent", "Keytap",
           "KeyEvent", "KeytapError", "StatusEvent", "aio", "start"]
