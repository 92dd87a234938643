"""The ``keytap`` command that the wheel installs: the binary inside the package, run as if it
had been started itself (``keytap --doctor``, ``keytap --version``)."""
import os
import subprocess
import sys

from ._binary import BUNDLED


def main() -> None:
    if not BUNDLED.is_file():
        sys.exit(f"keytap: no binary inside this package ({BUNDLED})")
    arguments = [str(BUNDLED), *sys.argv[1:]]
    if sys.platform == "win32":
        sys.exit(subprocess.call(arguments))
    os.execv(arguments[0], arguments)
