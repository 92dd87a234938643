"""A real desktop session in a Debian 13 tree (make-tree), started by the tree's session.sh as
the first process of a mount and PID namespace of its own: ending that process ends every
process in it."""
import shutil
import signal
import subprocess
from pathlib import Path
from typing import Iterable, List

from conftest import dies_with_test  # tests/portal, on the path of every tier


class TreeSession:
    """The session: `work` is the tree's /keytap, which holds the files given, session.sh among
    them, and each process's log; session.sh prints the session bus's address once it is up."""

    def __init__(self, tree: Path, files: Iterable[Path], desktop: str, display: str) -> None:
        self.tree, self.desktop, self.display = tree, desktop, display
        self.work = tree / "keytap"
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir()
        for source in files:
            shutil.copy(source, self.work)

    def start(self) -> None:
        """Starts session.sh, once the test has laid out what else it needs in `work`."""
        tree = self.tree
        mounts = (f"mount -t proc proc {tree}/proc && mount --rbind /dev {tree}/dev && "
                  f"mount -t tmpfs tmpfs {tree}/run && mount -t tmpfs tmpfs {tree}/tmp && "
                  f"exec chroot {tree} /bin/sh /keytap/session.sh")
        self.namespace = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child",
             "sh", "-c", mounts], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
            preexec_fn=dies_with_test)
        self.address = self.namespace.stdout.readline().decode().strip()
        assert self.address, f"the {self.desktop} session did not start: " + self.logs()
        # The namespace's first process, as this side numbers it.
        children = Path(f"/proc/{self.namespace.pid}/task/{self.namespace.pid}/children")
        self.first = int(children.read_text().split()[0])

    def log(self, name: str) -> str:
        return (self.work / f"{name}.log").read_text()

    def logs(self) -> str:
        """The end of every log, for a test that fails."""
        return "".join(f"\n--- {log.name}\n{log.read_text()[-3000:]}"
                       for log in sorted(self.work.glob("*.log")))

    def inside(self, *command: str) -> List[str]:
        """The command line that runs `command` in the session."""
        # nsenter runs the command in a child of its own, which a signal to nsenter misses: the
        # command dies with nsenter instead.
        return ["nsenter", f"--target={self.first}", "--mount", "--pid", "--root", "--wd",
                "setpriv", "--pdeathsig", "KILL",
                "env", f"DBUS_SESSION_BUS_ADDRESS={self.address}", "XDG_RUNTIME_DIR=/run/keytap",
                f"WAYLAND_DISPLAY={self.display}", "XDG_SESSION_TYPE=wayland",
                f"XDG_CURRENT_DESKTOP={self.desktop}", *command]

    def end(self) -> None:
        self.namespace.send_signal(signal.SIGKILL)
        self.namespace.wait()
