"""The asyncio face: the same client, with its waits as coroutines, its callbacks on the event
loop, and its events as an async iterator::

    keytap = await keytap.aio.start()
    await keytap.register("CommandOrControl+Shift+Space")
    async for event in keytap.events():
        ...
"""
import asyncio
import functools
from typing import (Any, AsyncIterator, Callable, Iterable, List, Mapping, Optional, Tuple, Union,
                    get_args)

from ._client import KeyCallback, Keytap
from ._client import start as start_blocking
from ._errors import KeytapError
from ._events import (BindingEvent, CapturedChord, CaptureHeldEvent, CapturingEvent, GestureEvent,
                      GestureKind, KeyEvent, StatusEvent)
from ._gesture import DOUBLE_TAP_MS, HOLD_MS, Cancellable, Gesture

Event = Union[KeyEvent, StatusEvent, BindingEvent, CapturingEvent, CaptureHeldEvent]


class AsyncGesture(Gesture):
    """The gestures of one accelerator, decided and reported on the event loop: as callbacks
    (:meth:`on`) and in :meth:`events`."""

    def __init__(self, keytap: Keytap, loop: asyncio.AbstractEventLoop, accelerator: str,
                 hold_ms: float, double_tap_ms: float) -> None:
        self._loop = loop
        # Every gesture from the start on, until the gesture is closed (None).
        self._events: "asyncio.Queue[Optional[GestureEvent]]" = asyncio.Queue()
        super().__init__(keytap, accelerator, hold_ms, double_tap_ms)
        for kind in get_args(GestureKind):
            self.on(kind, self._events.put_nowait)

    def close(self) -> None:
        super().close()
        self._events.put_nowait(None)

    async def events(self) -> AsyncIterator[GestureEvent]:
        """The gestures, from the start on, until the gesture is closed or keytap has ended for
        good."""
        while True:
            event = await self._events.get()
            if event is None:
                return
            yield event

    def _heard(self, hook: Callable[..., None]) -> Callable[..., None]:
        def on_loop(*args: Any) -> None:
            try:
                self._loop.call_soon_threadsafe(hook, *args)
            except RuntimeError:
                pass  # the loop has closed

        return on_loop

    def _later(self, seconds: float, callback: Callable[[], None]) -> Cancellable:
        return self._loop.call_later(seconds, callback)


class AsyncKeytap:
    """One keytap, started by :func:`start`. Usable as an async context manager."""

    def __init__(self, keytap: Keytap, loop: asyncio.AbstractEventLoop) -> None:
        self._keytap = keytap
        self._loop = loop
        # Every event from the start on, until keytap has ended for good (None).
        self._events: "asyncio.Queue[Optional[Event]]" = asyncio.Queue()
        for kind in ("down", "up", "status", "binding", "capturing", "capture_held"):
            keytap.on(kind, self._post)
        keytap.on("exit", lambda _code: self._post(None))

    def _post(self, event: Optional[Event]) -> None:
        try:
            self._loop.call_soon_threadsafe(self._events.put_nowait, event)
        except RuntimeError:
            pass  # the loop has closed

    def _on_loop(self, callback: Optional[KeyCallback]) -> Optional[KeyCallback]:
        if callback is None:
            return None
        call = callback

        def on_loop(event: KeyEvent) -> None:
            self._loop.call_soon_threadsafe(call, event)

        return on_loop

    @property
    def permission(self) -> Optional[str]:
        return self._keytap.permission

    @property
    def pid(self) -> Optional[int]:
        return self._keytap.pid

    @property
    def exit_code(self) -> Optional[int]:
        return self._keytap.exit_code

    # A command leaves when the method is called, not when its future is first awaited, so that
    # commands keep their order and a close() waits for every one sent before it.
    def register(self, text: str, *, down: Optional[KeyCallback] = None,
                 up: Optional[KeyCallback] = None,
                 consume: bool = False) -> "asyncio.Future[str]":
        """Registers the accelerator; await the result for its text (or the KeytapError)."""
        future = self._keytap._register(text, self._on_loop(down), self._on_loop(up), consume)
        return asyncio.wrap_future(future, loop=self._loop)

    def unregister(self, text: str) -> "asyncio.Future[str]":
        """Unregisters the accelerator; await the result for its text."""
        return asyncio.wrap_future(self._keytap._send("unregister", text), loop=self._loop)

    def registered(self) -> List[str]:
        return self._keytap.registered()

    def is_registered(self, text: str) -> bool:
        return self._keytap.is_registered(text)

    async def register_all(
            self, texts: Iterable[str]) -> Tuple[List[str], List[Tuple[str, KeytapError]]]:
        sent = [(text, self._keytap._register(text, None, None)) for text in texts]
        registered, failed = [], []
        for text, future in sent:
            try:
                registered.append(await asyncio.wrap_future(future, loop=self._loop))
            except KeytapError as error:
                failed.append((text, error))
        return registered, failed

    async def unregister_all(self) -> List[str]:
        sent = [self._keytap._send("unregister", text) for text in self._keytap.registered()]
        return [await asyncio.wrap_future(future, loop=self._loop) for future in sent]

    async def capture(self) -> CapturedChord:
        """Records the next chord the user presses (``start(capture=True)``); a CapturingEvent
        comes in :meth:`events` once keytap records. Cancelling the task, as ``asyncio.wait_for``
        does at its timeout, cancels the capture."""
        captured = self._keytap._capture()
        try:
            return await asyncio.shield(asyncio.wrap_future(captured, loop=self._loop))
        except asyncio.CancelledError:
            self._keytap._cancel_capture(captured)
            raise

    def gesture(self, text: str, *, hold_ms: float = HOLD_MS,
                double_tap_ms: float = DOUBLE_TAP_MS) -> AsyncGesture:
        """Tap, hold and double-tap of the accelerator, as :meth:`Keytap.gesture`, on the loop."""
        return AsyncGesture(self._keytap, self._loop, text, hold_ms, double_tap_ms)

    def describe(self, text: str) -> "asyncio.Future[str]":
        """The accelerator's label in the user's keyboard layout; await the result."""
        return asyncio.wrap_future(self._keytap._send("describe", text), loop=self._loop)

    async def events(self) -> AsyncIterator[Event]:
        """The key, status, binding, capturing and capture_held events, from the start on, until
        keytap has ended for good."""
        while True:
            event = await self._events.get()
            if event is None:
                return
            yield event

    async def close(self) -> int:
        return await asyncio.get_running_loop().run_in_executor(None, self._keytap.close)

    async def kill(self) -> int:
        return await asyncio.get_running_loop().run_in_executor(None, self._keytap.kill)

    async def __aenter__(self) -> "AsyncKeytap":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()


async def start(*, binary: Optional[str] = None, no_prompt: bool = False,
                extended_keys: bool = False, mouse_buttons: bool = False,
                capture: bool = False, consume: bool = False, portal: Union[bool, str] = False,
                env: Optional[Mapping[str, str]] = None, timeout: float = 5.0,
                auto_restart: bool = False) -> AsyncKeytap:
    """Starts keytap and returns once it is ready; raises as :func:`keytap.start` does. A
    cancelled start ends the keytap it started."""
    loop = asyncio.get_running_loop()
    starting = loop.run_in_executor(None, functools.partial(
        start_blocking, binary=binary, no_prompt=no_prompt, extended_keys=extended_keys,
        mouse_buttons=mouse_buttons, capture=capture, consume=consume, portal=portal, env=env,
        timeout=timeout,
        auto_restart=auto_restart))
    try:
        keytap = await asyncio.shield(starting)
    except asyncio.CancelledError:
        starting.add_done_callback(
            lambda done: done.exception() is None and done.result().kill())
        raise
    return AsyncKeytap(keytap, loop)
