"""Both clients with portal=: the desktop's bindings come as typed events, its presses as keys."""
import json
import select
import subprocess
import sys
import time
from pathlib import Path

from conftest import BINARY, HERE

sys.path.insert(0, str(HERE.parents[1] / "clients" / "python"))
import keytap  # noqa: E402  (the client of this tree)

CHORD = "Control+Shift+K"


def portal_binary(folder: Path) -> str:
    """keytap with the portal forced: wherever the tests run, evdev may read a keyboard."""
    wrapper = folder / "keytap-portal"
    wrapper.write_text(f'#!/bin/sh\nexec "{BINARY}" --backend=portal "$@"\n')
    wrapper.chmod(0o755)
    return str(wrapper)


def test_python_client(desktop, tmp_path):
    seen = []
    with keytap.start(binary=portal_binary(tmp_path), portal="org.example.App",
                      env=desktop.env) as helper:
        helper.on("binding", seen.append)
        helper.on("down", seen.append)
        helper.register(CHORD)
        deadline = time.monotonic() + 10
        while not seen and time.monotonic() < deadline:
            time.sleep(0.02)
        desktop.mock.Press(CHORD)
        while len(seen) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
    assert seen[0] == keytap.BindingEvent(CHORD, "bound", "Press CTRL+SHIFT+k")
    assert isinstance(seen[1], keytap.KeyEvent) and seen[1].kind == "down"


def test_node_client(desktop, tmp_path):
    node = subprocess.Popen(["node", str(HERE / "node_client.mjs"), portal_binary(tmp_path), CHORD],
                            env=desktop.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            bufsize=0)  # unbuffered, so that select sees every line not yet read
    try:
        def said():
            assert select.select([node.stdout], [], [], 10)[0], "the client said nothing"
            return json.loads(node.stdout.readline())

        assert said() == {"kind": "binding", "accelerator": CHORD, "state": "bound",
                          "trigger": "Press CTRL+SHIFT+k"}
        desktop.mock.Press(CHORD)
        desktop.mock.Release(CHORD)
        assert [said()["kind"], said()["kind"]] == ["down", "up"]
    finally:
        node.kill()
        node.wait()
