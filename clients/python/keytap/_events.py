"""What keytap reports, as small immutable values."""
from dataclasses import dataclass
from typing import Literal, Optional

GestureKind = Literal["tap", "hold-start", "hold-end", "double-tap"]


@dataclass(frozen=True)
class KeyEvent:
    """A registered accelerator went down or up.

    ``at`` is milliseconds since 1970. A synthetic "up" closes a hold whose real release can no
    longer come; its ``reason`` is "unregistered", "exited", "closed" or "killed". The "up" of a
    modifier-only accelerator (``extended_keys``) has ``alone``: True when no other key or button
    went down during the hold, False when it was used as a chord; None on every other event.
    """

    kind: str  # "down" or "up"
    accelerator: str
    at: float
    synthetic: bool = False
    reason: Optional[str] = None
    alone: Optional[bool] = None


@dataclass(frozen=True)
class GestureEvent:
    """A tap, hold or double-tap of an accelerator (:meth:`Keytap.gesture`).

    ``at`` is keytap's time of the key event, in ms since 1970: the release for "tap" and
    "hold-end", the press for "hold-start" (reported ``hold_ms`` later), the second press for
    "double-tap". A "hold-end" whose release can no longer come is ``synthetic``, with the
    synthetic "up"'s ``reason``, or "closed" when the gesture was closed.
    """

    kind: GestureKind
    accelerator: str
    at: float
    synthetic: bool = False
    reason: Optional[str] = None


@dataclass(frozen=True)
class StatusEvent:
    """keytap stopped listening (with the reason, such as "display lost") or started again."""

    listening: bool
    reason: Optional[str] = None


@dataclass(frozen=True)
class BindingEvent:
    """What the desktop made of a registered accelerator (``portal``): ``state`` is "bound",
    "refused", "failed" or "unbound"; ``trigger`` is the desktop's own description of the keys
    that press it (the user may have chosen others), for display only."""

    accelerator: str
    state: str
    trigger: str = ""


@dataclass(frozen=True)
class CapturingEvent:
    """keytap has begun the capture that :meth:`Keytap.capture` asked for: the chord pressed from
    now on is the one recorded; keys pressed before it are not."""


@dataclass(frozen=True)
class CapturedChord:
    """The chord a capture recorded: keytap's text for it, which registers exactly that chord,
    and its label in the user's keyboard layout ("Ctrl+Shift+Z", "⌃⇧Z"). ``taken`` says who holds
    the chord already where the system can tell (macOS, X11, Windows): "system" or "another
    program"; None when it is free or nothing can tell."""

    accelerator: str
    label: str
    taken: Optional[str] = None


@dataclass(frozen=True)
class CaptureHeldEvent:
    """During a capture the modifiers held changed: keytap's words for them ("Control+Shift") and
    their label as a chord's begins ("Ctrl+Shift", "⌃⇧"); both empty when none is held."""

    accelerator: str
    label: str
