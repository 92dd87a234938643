"""Where the keytap binary is: the ``binary`` argument; KEYTAP_BINARY; the binary inside this
package (its wheel brings one); ``keytap`` on PATH."""
import os
import shutil
import sys
from pathlib import Path
from typing import Mapping, Optional

from ._errors import KeytapError

BUNDLED = Path(__file__).parent / "_bin" / ("keytap.exe" if sys.platform == "win32" else "keytap")


def find_binary(binary: Optional[str], environ: Mapping[str, str] = os.environ) -> str:
    if binary:
        return binary
    if environ.get("KEYTAP_BINARY"):
        return environ["KEYTAP_BINARY"]
    if BUNDLED.is_file():
        return str(BUNDLED)
    on_path = shutil.which("keytap", path=environ.get("PATH"))
    if on_path:
        return on_path
    raise KeytapError(
        "spawn",
        "keytap's binary was not found: no binary argument, no KEYTAP_BINARY, none inside the "
        f"installed package ({BUNDLED}) and no keytap on PATH. Install the wheel for this "
        "platform (pip install keytap), or pass binary=.",
    )
