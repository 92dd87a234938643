"""The blocking face: keytap runs as a child process whose lines a background thread of the
client reads. Callbacks run on that thread: hand work to your own thread (Qt:
``QMetaObject.invokeMethod(..., Qt.QueuedConnection)``; Tk: ``root.after(0, ...)``), and do not
wait in a callback for a reply (register, unregister, close), which that thread delivers."""
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, TimeoutError as FutureTimeout
from typing import (Any, Callable, Deque, Dict, IO, Iterable, List, Mapping, Optional, Set,
                    Tuple, Union)
from collections import deque

from ._binary import find_binary
from ._errors import KeytapError
from ._events import (BindingEvent, CapturedChord, CaptureHeldEvent, CapturingEvent, KeyEvent,
                      StatusEvent)
from ._gesture import DOUBLE_TAP_MS, HOLD_MS, Gesture
from ._session import Outcome, Ready, Reply, Session

KeyCallback = Callable[[KeyEvent], None]
# Waits before each restart; a keytap that dies again this many times in a row is given up.
RESTART_DELAYS = (0.1, 0.4, 1.6, 3.2, 6.4)
# A keytap that ran this long before it died was no failure of the restart.
STEADY_AFTER = 10.0


class Keytap:
    """One keytap, started by :func:`start`. Usable as a context manager, which closes it."""

    def __init__(self, binary: str, args: List[str], env: Optional[Mapping[str, str]],
                 timeout: float, auto_restart: bool) -> None:
        self.permission: Optional[str] = None
        self.pid: Optional[int] = None
        self.exit_code: Optional[int] = None
        self._binary, self._args, self._env = binary, args, env
        self._timeout, self._auto_restart = timeout, auto_restart
        self._lock = threading.RLock()
        self._session = Session()
        self._waiting: Deque["Future[str]"] = deque()  # beside session.in_flight
        self._wanted: Dict[str, None] = {}  # registered, in registration order
        self._callbacks: Dict[str, Tuple[Optional[KeyCallback], Optional[KeyCallback]]] = {}
        self._consumed: Set[str] = set()  # registered with consume, as every restart asks again
        self._listeners: Dict[str, List[Callable[..., None]]] = {}
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._reader: Optional[threading.Thread] = None
        self._ending: Optional[str] = None  # "closed" or "killed" once the host ends it
        self._queued: List[Tuple[str, str, "Future[str]"]] = []  # while a restart is under way
        self._restarting = False
        self._failures = 0  # failed starts in a row
        self._started_at = 0.0
        self._ready = threading.Event()
        self._captured: Optional["Future[CapturedChord]"] = None  # the capture running

    # Starting

    def _spawn(self) -> None:
        options: Dict[str, Any] = {}
        if sys.platform == "win32":
            options["creationflags"] = subprocess.CREATE_NO_WINDOW
        else:
            options["start_new_session"] = True  # a Ctrl+C in the host's terminal is the host's
        env = dict(self._env) if self._env is not None else None
        try:
            process = subprocess.Popen([self._binary, *self._args], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       env=env, **options)
        except OSError as error:
            raise KeytapError("spawn", f"cannot start keytap at {self._binary}: {error}") from None
        self._session, self._process, self.pid = Session(), process, process.pid
        self.permission = None
        self._ready.clear()
        self._started_at = time.monotonic()
        self._reader = threading.Thread(target=self._read, args=(process,), daemon=True,
                                        name="keytap reader")
        self._reader.start()
        if not self._ready.wait(self._timeout):
            process.kill()
            raise KeytapError("timeout", f"keytap did not say ready within {self._timeout} s")
        if self.permission is None:
            raise KeytapError("exited", f"keytap exited before it was ready ({process.wait()})")

    # Reading, on the reader thread

    def _read(self, process: "subprocess.Popen[bytes]") -> None:
        stream: IO[bytes] = process.stdout  # type: ignore[assignment]
        for raw in stream:
            with self._lock:
                outcomes = self._session.receive(raw.decode("utf-8", "replace"))
                for outcome in outcomes:
                    self._settle(outcome)
            for outcome in outcomes:
                self._deliver(outcome)
        self._ended(process)

    def _settle(self, outcome: Outcome) -> None:
        if isinstance(outcome, Ready):
            self.permission = outcome.permission
            self._ready.set()
        elif isinstance(outcome, CapturedChord):
            if self._captured is not None:
                self._captured.set_result(outcome)
                self._captured = None
        elif isinstance(outcome, Reply):
            future = self._waiting.popleft()
            if outcome.error:
                future.set_exception(outcome.error)
                return
            if outcome.command in ("capture", "cancel_capture", "describe"):
                future.set_result(outcome.label)
                return
            if outcome.command == "register":
                self._wanted[outcome.text] = None
            else:
                self._wanted.pop(outcome.text, None)
                self._consumed.discard(outcome.text)
            future.set_result(outcome.text)

    def _deliver(self, outcome: Outcome) -> None:
        if isinstance(outcome, KeyEvent):
            down, up = self._callbacks.get(outcome.accelerator, (None, None))
            own = down if outcome.kind == "down" else up
            if own:
                own(outcome)
            self._emit(outcome.kind, outcome)
            if outcome.kind == "up" and outcome.reason == "unregistered":
                self._callbacks.pop(outcome.accelerator, None)
        elif isinstance(outcome, StatusEvent):
            self._emit("status", outcome)
        elif isinstance(outcome, BindingEvent):
            self._emit("binding", outcome)
        elif isinstance(outcome, CapturingEvent):
            self._emit("capturing", outcome)
        elif isinstance(outcome, CaptureHeldEvent):
            self._emit("capture_held", outcome)

    def _emit(self, kind: str, *args: Any) -> None:
        for listener in list(self._listeners.get(kind, ())):
            listener(*args)

    def _ended(self, process: "subprocess.Popen[bytes]") -> None:
        code = process.wait()
        was_ready = self._ready.is_set()
        self._ready.set()  # a start that waits learns that it failed
        with self._lock:
            if process is not self._process:
                return
            self._process = None
            self.exit_code = code
            if self._restarting:
                return  # a failed attempt: the restart goes on
            reason = self._ending or "exited"
            outcomes = self._session.close_all(reason)
            for (command, text), future in zip(self._session.in_flight, self._waiting):
                if command == "unregister":
                    self._wanted.pop(text, None)
                    future.set_result(text)  # nothing is registered any more
                else:
                    future.set_exception(KeytapError(reason, f"keytap {reason} before it answered"))
            self._session.in_flight.clear()
            self._waiting.clear()
            # A new keytap would not carry the capture on, so a restart ends it too.
            if self._captured is not None:
                self._captured.set_exception(
                    KeytapError(reason, "keytap ended before a chord was captured"))
                self._captured = None
            restart = self._auto_restart and self._ending is None and was_ready
            if restart:
                self._restarting = True
            else:
                self._wanted.clear()
        for outcome in outcomes:
            self._deliver(outcome)
        if restart:
            threading.Thread(target=self._restart, daemon=True, name="keytap restart").start()
        else:
            self._emit("exit", code)

    # Restarting

    def _restart(self) -> None:
        # A keytap that died soon after it started counts as a failed start.
        ran = time.monotonic() - self._started_at
        self._failures = self._failures + 1 if ran < STEADY_AFTER else 0
        while self._failures < len(RESTART_DELAYS):
            time.sleep(RESTART_DELAYS[self._failures])
            with self._lock:
                if self._ending:
                    break
            try:
                self._spawn()
            except KeytapError:
                self._failures += 1
                continue
            failed = self._register_again()
            self._emit("restart", {"pid": self.pid, "permission": self.permission,
                                   "failed": failed})
            return
        self._give_up()

    def _register_again(self) -> List[Tuple[str, KeytapError]]:
        """The same set, in its order, before every command that came in meanwhile."""
        with self._lock:
            self._restarting = False
            again = []
            for text in self._wanted:
                future: "Future[str]" = Future()
                self._write("register", text, future)
                again.append((text, future))
            for command, text, queued in self._queued:
                self._write(command, text, queued)
            self._queued.clear()
        failed = []
        for text, future in again:
            error = future.exception()
            if isinstance(error, KeytapError):
                failed.append((text, error))
                with self._lock:
                    self._wanted.pop(text, None)
        return failed

    def _give_up(self) -> None:
        with self._lock:
            self._restarting = False
            self._wanted.clear()
            if self._captured is not None:
                self._captured.set_exception(
                    KeytapError("exited", "keytap ended before a chord was captured"))
                self._captured = None
            for _, _, future in self._queued:
                future.set_exception(KeytapError("exited", "keytap could not be started again"))
            self._queued.clear()
        self._emit("exit", self.exit_code)

    # Commands

    def _send(self, command: str, text: str) -> "Future[str]":
        future: "Future[str]" = Future()
        with self._lock:
            if self._ending:
                future.set_exception(KeytapError("closed", "keytap was closed"))
            elif self._restarting:
                self._queued.append((command, text, future))
            elif self._process is None:
                if command == "unregister":
                    future.set_result(text)
                else:
                    future.set_exception(KeytapError("exited", "keytap has exited"))
            else:
                self._write(command, text, future)
        return future

    def _write(self, command: str, text: str, future: "Future[str]") -> None:
        process = self._process
        assert process is not None and process.stdin is not None
        self._waiting.append(future)
        line = self._session.command(command, text,
                                     consume=command == "register" and text in self._consumed)
        try:
            process.stdin.write(line)
            process.stdin.flush()
        except OSError:
            pass  # keytap is ending; the reader settles the command

    def _wait(self, future: "Future[str]") -> str:
        if threading.current_thread() is self._reader:
            raise RuntimeError("a keytap callback must not wait for a reply: hand the work to "
                               "another thread")
        return future.result()

    def _register(self, text: str, down: Optional[KeyCallback], up: Optional[KeyCallback],
                  consume: bool = False) -> "Future[str]":
        with self._lock:
            # A text registered already keeps its callbacks: the command gets "conflict".
            fresh = text not in self._wanted
            if fresh:
                self._callbacks[text] = (down, up)
                if consume:
                    self._consumed.add(text)
            future = self._send("register", text)

        def forget(done: "Future[str]") -> None:
            if fresh and done.exception() is not None:
                with self._lock:
                    if text not in self._wanted:
                        self._callbacks.pop(text, None)
                        self._consumed.discard(text)

        future.add_done_callback(forget)
        return future

    def register(self, text: str, *, down: Optional[KeyCallback] = None,
                 up: Optional[KeyCallback] = None, consume: bool = False) -> str:
        """Registers the accelerator; returns its text. ``down`` and ``up`` are called for it
        beside the events. With ``consume`` (``start(consume=True)``) its key is kept from the
        other programs while it is pressed. Raises :class:`KeytapError`."""
        return self._wait(self._register(text, down, up, consume))

    def unregister(self, text: str) -> str:
        """Unregisters the accelerator; a hold still open gets its synthetic "up" first."""
        return self._wait(self._send("unregister", text))

    def registered(self) -> List[str]:
        with self._lock:
            return list(self._wanted)

    def is_registered(self, text: str) -> bool:
        with self._lock:
            return text in self._wanted

    def register_all(self, texts: Iterable[str]) -> Tuple[List[str], List[Tuple[str, KeytapError]]]:
        """Registers each; returns those registered and those refused, with the error."""
        futures = [(text, self._register(text, None, None)) for text in texts]
        registered, failed = [], []
        for text, future in futures:
            try:
                registered.append(self._wait(future))
            except KeytapError as error:
                failed.append((text, error))
        return registered, failed

    def unregister_all(self) -> List[str]:
        futures = [self._send("unregister", text) for text in self.registered()]
        return [self._wait(future) for future in futures]

    def _capture(self) -> "Future[CapturedChord]":
        """Sends capture (start(capture=True)); the future of the chord, shared while one runs."""
        with self._lock:
            if self._captured is None:
                captured: "Future[CapturedChord]" = Future()
                self._captured = captured

                def refused(reply: "Future[str]") -> None:
                    error = reply.exception()
                    with self._lock:
                        if error is not None and self._captured is captured:
                            self._captured = None
                            captured.set_exception(error)

                self._send("capture", "").add_done_callback(refused)
            return self._captured

    def _cancel_capture(self, captured: "Future[CapturedChord]") -> None:
        with self._lock:
            if self._captured is captured:
                self._captured = None
                captured.cancel()
            self._send("cancel_capture", "")

    def capture(self, timeout: Optional[float] = None) -> CapturedChord:
        """Records the next chord the user presses; registered accelerators rest meanwhile, and
        "capturing" is emitted once keytap records. Returns its text, which registers exactly
        that chord, and its label in the user's keyboard layout. After ``timeout`` seconds the
        capture is cancelled and :class:`KeytapError` "timeout" raised; when keytap ends first
        (or restarts), "exited", "closed" or "killed". Needs ``start(capture=True)``."""
        captured = self._capture()
        if threading.current_thread() is self._reader:
            raise RuntimeError("a keytap callback must not wait for a capture")
        try:
            return captured.result(timeout)
        except FutureTimeout:
            self._cancel_capture(captured)
            raise KeytapError("timeout", f"no chord was pressed within {timeout} s") from None

    def describe(self, text: str) -> str:
        """The accelerator's label in the user's keyboard layout. Needs ``start(capture=True)``."""
        return self._wait(self._send("describe", text))

    def on(self, kind: str, callback: Callable[..., None]) -> None:
        """Calls ``callback`` on the reader thread for "down" and "up" (a KeyEvent), "status" (a
        StatusEvent), "binding" (a BindingEvent, with ``portal``), "capturing" (a CapturingEvent,
        once keytap has begun a capture), "capture_held" (a CaptureHeldEvent, as the modifiers
        held change during it), "restart" (a dict: pid, permission, failed) or "exit"
        (the exit status)."""
        self._listeners.setdefault(kind, []).append(callback)

    def off(self, kind: str, callback: Callable[..., None]) -> None:
        """Stops calling a callback that :meth:`on` added."""
        listeners = self._listeners.get(kind, [])
        if callback in listeners:
            listeners.remove(callback)

    def gesture(self, text: str, *, hold_ms: float = HOLD_MS,
                double_tap_ms: float = DOUBLE_TAP_MS) -> Gesture:
        """Tap, hold and double-tap of the accelerator, judged on keytap's times: call
        ``.on(kind, callback)`` on the result for "tap", "hold-start", "hold-end" and
        "double-tap". It follows the text whether registered or not, across restarts, until
        closed or keytap ends for good."""
        return Gesture(self, text, hold_ms, double_tap_ms)

    # Ending

    def close(self) -> int:
        """Waits for every reply still due, then closes keytap's input; returns its exit status.
        Commands after it raise "closed"."""
        with self._lock:
            pending = list(self._waiting) + [future for _, _, future in self._queued]
        for future in pending:
            future.exception()
        return self._end("closed")

    def kill(self) -> int:
        """Ends keytap at once."""
        return self._end("killed")

    def _end(self, how: str) -> int:
        with self._lock:
            if self._ending is None:
                self._ending = how
            process, reader = self._process, self._reader
        if process is not None:
            if how == "killed":
                process.kill()
            elif process.stdin:
                try:
                    process.stdin.close()
                except OSError:
                    pass
            process.wait()
        if reader is not None and reader is not threading.current_thread():
            reader.join()
        return self.exit_code if self.exit_code is not None else -1

    def __enter__(self) -> "Keytap":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def start(*, binary: Optional[str] = None, no_prompt: bool = False,
          extended_keys: bool = False, mouse_buttons: bool = False, capture: bool = False,
          consume: bool = False, portal: Union[bool, str] = False, env: Optional[Mapping[str, str]] = None,
          timeout: float = 5.0, auto_restart: bool = False) -> Keytap:
    """Starts keytap and returns once it is ready. ``extended_keys`` passes --extended-keys
    (RightAlt, modifiers alone, Fn, the keypad, F21-F24, IntlBackslash); ``mouse_buttons``
    passes --mouse-buttons (MouseMiddle, MouseBack, MouseForward, alone or with modifiers);
    ``capture`` passes --capture (:meth:`Keytap.capture`, :meth:`Keytap.describe`); ``consume``
    passes --consume (``register(text, consume=True)``); ``portal``
    passes --portal, or --portal=APP_ID for a string: on a Wayland desktop where keytap reads no
    keyboard, the desktop binds the shortcuts (it takes their keys from the windows) and says what
    became of each in a "binding" event. Raises
    :class:`KeytapError` when the binary cannot be found or started ("spawn"), exits first
    ("exited") or stays silent for ``timeout`` seconds ("timeout")."""
    args = ["--release-stale-holds", "--status"] + (["--no-prompt"] if no_prompt else [])
    args += ["--extended-keys"] if extended_keys else []
    args += ["--mouse-buttons"] if mouse_buttons else []
    args += ["--capture"] if capture else []
    args += ["--consume"] if consume else []
    args += [f"--portal={portal}" if isinstance(portal, str) else "--portal"] if portal else []
    keytap = Keytap(find_binary(binary, os.environ), args, env, timeout, auto_restart)
    keytap._spawn()
    return keytap
