"""What keytap reports, as small immutable values."""
from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class KeyEvent:
    """A registered accelerator went down or up.

    ``at`` is milliseconds since 1970. A synthetic "up" closes a hold whose real release can no
    longer come; its ``reason`` is "unregistered", "exited", "closed" or "killed".
    """

    kind: str  # "down" or "up"
    accelerator: str
    at: float
    synthetic: bool = False
    reason: Optional[str] = None


@dataclass(frozen=True)
class StatusEvent:
    """keytap stopped listening (with the reason, such as "display lost") or started again."""

    listening: bool
    reason: Optional[str] = None
