"""The client against the real keytap of any platform (KEYTAP_BINARY), with no display, no
stand-in and nothing but the standard library: what runs on GitHub's macOS and Windows runners as
on Linux. Whether this session may listen decides each reply, so both outcomes are checked.

Usage: KEYTAP_BINARY=... python3 clients/python/tests/smoke.py
"""
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import keytap  # noqa: E402  (the package beside the tests)


def main() -> None:
    k = keytap.start(binary=os.environ["KEYTAP_BINARY"], no_prompt=True)
    assert k.permission in ("granted", "denied"), k.permission
    try:
        k.register("Ctrl+Alt+Shift+F5")
        assert k.permission == "granted", "registered without the permission"
    except keytap.KeytapError as error:
        assert k.permission == "denied" and error.code == "forbidden", error
    try:
        k.register("Cmd+Plus")
        raise AssertionError("Cmd+Plus was registered")
    except keytap.KeytapError as error:
        assert error.code == "unknown_accelerator", error
    assert k.unregister("Ctrl+Alt+Shift+F5") == "Ctrl+Alt+Shift+F5"
    assert k.close() == 0
    print(f"python client smoke: 1 passed, 0 failed ({k.permission})")


main()
