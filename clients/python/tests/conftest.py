"""What the client's tests share: the keytap under test (KEYTAP_BINARY), a private Xvfb, and
keys injected through XTEST by the project's injector (KEYTAP_INJECT)."""
import os
import subprocess
import sys
import threading
from pathlib import Path
from typing import Dict, Iterator, List, Union

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from keytap import GestureEvent, KeyEvent  # noqa: E402  (the package beside the tests)

BINARY = os.environ.get("KEYTAP_BINARY", str(Path(__file__).parents[3] / "build" / "keytap"))
BUILD = Path(__file__).parents[3] / "build"
INJECT = os.environ.get("KEYTAP_INJECT", str(BUILD / "tests" / "keytap-inject"))
F5 = 71  # X key codes
RIGHT_ALT = 108
W = 25


@pytest.fixture
def display() -> Iterator[str]:
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"],
                              pass_fds=[write], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as numbers:
        name = ":" + numbers.readline().strip()
    yield name
    server.kill()
    server.wait()


@pytest.fixture
def session(display: str) -> Dict[str, str]:
    """The environment of a host on that display, without KEYTAP_BINARY."""
    env = {key: value for key, value in os.environ.items() if key != "KEYTAP_BINARY"}
    env["DISPLAY"] = display
    return env


def press(display: str, *codes: str) -> None:
    subprocess.run([INJECT, display, *codes], check=True)


class Recorder:
    """The events a client delivered, as "down F5", "up F5 synthetic exited", "up RightAlt
    alone" or "hold-end F5 synthetic closed"."""

    def __init__(self) -> None:
        self.said: List[str] = []
        self.changed = threading.Condition()

    def __call__(self, event: Union[KeyEvent, GestureEvent]) -> None:
        line = f"{event.kind} {event.accelerator}"
        if event.synthetic:
            line += f" synthetic {event.reason}"
        if isinstance(event, KeyEvent) and event.alone is not None:
            line += " alone" if event.alone else " chord"
        with self.changed:
            self.said.append(line)
            self.changed.notify_all()

    def wait_for(self, count: int, timeout: float = 10.0) -> List[str]:
        with self.changed:
            self.changed.wait_for(lambda: len(self.said) >= count, timeout)
            return list(self.said)
