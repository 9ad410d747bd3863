"""One runtime per loaded library file: the process-wide dispatcher.

The library's callbacks and its notice target are process-wide: one data
callback function, one message callback, one thread that gets the disconnect
notice. The runtime owns them and routes what comes in to the object it
belongs to: frames by the 32-bit user value given when the stream was opened,
recorder messages and notices by the session handle. What runs on a library
thread is this module's code alone, which copies the bytes and hands them to a
bounded buffer; the host's own code runs on the consumer's thread, or for
event callbacks on the runtime's event thread.

The library lets a host run one waiting request per session at a time, and
login, logout and cleanup only beside certain other calls (its header lists
which). `CallGate` keeps a simpler, stricter rule for every Recorder of the
process: Login, Logout and Cleanup run apart from every other call.
"""

from __future__ import annotations

import atexit
import collections
import ctypes
import itertools
import socket
import struct
import threading
import weakref
from typing import Any, Callable, Deque, Dict, List, Optional, Protocol

from . import _binding
from ._binding import Library


class CallGate:
    """Shared for ordinary calls, exclusive for the calls that change the
    library's session list (Login, Logout, Cleanup)."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._shared = 0
        self._exclusive = False
        self._waiting = 0  # exclusive callers waiting: they go before new shared ones

    def shared(self) -> "_Hold":
        return _Hold(self, False)

    def exclusive(self) -> "_Hold":
        return _Hold(self, True)

    def _enter(self, exclusive: bool) -> None:
        with self._cond:
            if exclusive:
                self._waiting += 1
                try:
                    while self._exclusive or self._shared:
                        self._cond.wait()
                except BaseException:
                    self._waiting -= 1
                    self._cond.notify_all()
                    raise
                self._waiting -= 1
                self._exclusive = True
            else:
                # Never held twice by one thread, so letting a waiting login
                # or logout go first cannot deadlock.
                while self._exclusive or self._waiting:
                    self._cond.wait()
                self._shared += 1

    def _leave(self, exclusive: bool) -> None:
        with self._cond:
            if exclusive:
                self._exclusive = False
            else:
                self._shared -= 1
            self._cond.notify_all()


class _Hold:
    __slots__ = ("_gate", "_exclusive")

    def __init__(self, gate: CallGate, exclusive: bool) -> None:
        self._gate = gate
        self._exclusive = exclusive

    def __enter__(self) -> None:
        self._gate._enter(self._exclusive)

    def __exit__(self, *exc: object) -> None:
        self._gate._leave(self._exclusive)


class FrameSink(Protocol):
    def put(self, frame_type: int, data: bytes) -> None: ...
    def lost(self) -> None: ...
    def fail(self, error: BaseException) -> None: ...


class SessionSink(Protocol):
    def _session_message(self, data: bytes) -> None: ...
    def _session_notice(self, address: int) -> None: ...


class Runtime:
    """The loaded library of one release and the routes of its callbacks."""

    def __init__(self, release: str, path: str) -> None:
        self.release = release
        self.lib = Library(path, release)
        self.gate = CallGate()
        self._routes: Dict[int, FrameSink] = {}
        self._sessions: Dict[int, SessionSink] = {}
        self._users = itertools.count(1)
        self._lock = threading.Lock()
        # The library keeps the callback pointers; so does the runtime, for
        # as long as the process lives.
        self._data_cb = _binding.DataCallback(self._on_data)
        self._msg_cb = _binding.MessageCallback(self._on_message)
        self._message_callback_set = False
        self._open_sessions = 0
        self._notice: Optional[_NoticeThread] = None
        self._events: Optional[_EventThread] = None
        self.recorders: "weakref.WeakSet[Any]" = weakref.WeakSet()
        self.exiting = False  # the interpreter is ending: no wait for the host's callbacks
        if self.lib.KR_4100_Init() != 1:
            raise OSError("the library could not start its socket layer")

    # -- streams ----------------------------------------------------------
    @property
    def data_callback(self) -> Any:
        return self._data_cb

    def add_route(self, sink: FrameSink) -> int:
        """A fresh 32-bit user value that routes frames to sink."""
        with self._lock:
            while True:
                user = next(self._users) & 0xFFFFFFFF
                if user and user not in self._routes:
                    self._routes[user] = sink
                    return user

    def remove_route(self, user: int) -> None:
        with self._lock:
            self._routes.pop(user, None)

    def _on_data(self, stream: Any, frame_type: int, data: Any, length: int, user: int) -> None:
        # A library thread: copy, hand over, return. Nothing here may raise
        # into the library.
        sink = self._routes.get(user)
        if sink is None:
            return
        try:
            if frame_type == 255:
                sink.lost()
            elif length > 0 and data:
                sink.put(frame_type, ctypes.string_at(data, length))
        except BaseException as e:  # noqa: BLE001 - handed to the consumer
            try:
                sink.fail(e)
            except BaseException:  # noqa: BLE001
                pass

    # -- sessions ---------------------------------------------------------
    def session_opened(self, handle: int, sink: SessionSink) -> None:
        with self._lock:
            self._sessions[handle] = sink
            self._open_sessions += 1
            first = self._open_sessions == 1
        if not self._message_callback_set:
            self.lib.KR_4100_SetDVRMessCallBack(self._msg_cb)
            self._message_callback_set = True
        if first:
            self._events = _EventThread()
            self._notice = _NoticeThread(self) if _notice_supported(self) else None

    def session_closed(self, handle: int) -> None:
        with self._lock:
            if self._sessions.pop(handle, None) is None:
                return
            self._open_sessions -= 1
            last = self._open_sessions == 0
            notice, events = (self._notice, self._events) if last else (None, None)
            if last:
                self._notice = self._events = None
        # The package's own threads end with the last session, so that a
        # closed Recorder leaves no thread behind.
        if notice is not None:
            notice.stop()
        if events is not None:
            # At the process's end a callback may still be running (its
            # Recorder was closed without waiting for it): nothing waits for
            # it then.
            events.stop(wait=not self.exiting)

    def schedule_callbacks(self, callbacks: "CallbackQueue") -> None:
        """Puts a Recorder's callback queue in line on the event thread."""
        events = self._events
        if events is not None:
            events.schedule(callbacks)

    def _on_message(self, msg_type: int, session: Any, data: Any, length: int) -> None:
        sink = self._sessions.get(session or 0)
        if sink is None or not data or length <= 0:
            return
        try:
            sink._session_message(ctypes.string_at(data, length))
        except BaseException:  # noqa: BLE001 - never into the library
            pass

    def deliver_notice(self, session: int, address: int) -> None:
        sink = self._sessions.get(session)
        if sink is not None:
            sink._session_notice(address)

    # -- process end ------------------------------------------------------
    def shutdown(self) -> None:
        self.exiting = True
        for rec in list(self.recorders):
            try:
                rec._close(wait_for_callbacks=False)
            except BaseException:  # noqa: BLE001
                pass
        with self.gate.exclusive():
            self.lib.KR_4100_Cleanup()


def address_text(address: int) -> str:
    """The notice's address: four network-order bytes read as one 32-bit
    value in the host's order."""
    return socket.inet_ntoa(struct.pack("=I", address & 0xFFFFFFFF))


def _notice_supported(rt: Runtime) -> bool:
    # Release 1.0.0.1 posts no notice; there is nothing to wait for.
    return rt.release != "1.0.0.1"


class _NoticeThread:
    """The thread named to the library as its notice target. On Linux it takes
    notices with KR_4100_GetThreadMessage; on Windows from its own message
    queue."""

    POLL_MS = 250

    def __init__(self, rt: Runtime) -> None:
        self._rt = rt
        self._run = True
        self._ready = threading.Event()
        self._tid = 0
        self._thread = threading.Thread(target=self._main, name="kestrelnet-notice", daemon=True)
        self._thread.start()
        self._ready.wait(2.0)

    def _main(self) -> None:
        lib = self._rt.lib
        self._tid = _binding.thread_id()
        if _binding.IS_WINDOWS:
            self._main_windows(lib)
            return
        lib.KR_4100_SetDVRMessage(_binding.DISCONNECT_MESSAGE, self._tid)
        self._ready.set()
        msg = _binding.DvrThreadMessage()
        while self._run:
            if lib.KR_4100_GetThreadMessage(ctypes.byref(msg), self.POLL_MS) == 1:
                if msg.message == _binding.DISCONNECT_MESSAGE:
                    self._rt.deliver_notice(msg.hSession or 0, msg.dwAddress)

    def _main_windows(self, lib: Library) -> None:  # pragma: no cover - not run on Linux
        from ctypes import wintypes

        user32 = ctypes.windll.user32  # type: ignore[attr-defined]
        msg = wintypes.MSG()
        PM_NOREMOVE, PM_REMOVE, QS_POSTMESSAGE = 0, 1, 0x0008
        user32.PeekMessageW(ctypes.byref(msg), None, 0, 0, PM_NOREMOVE)  # makes the queue
        lib.KR_4100_SetDVRMessage(_binding.DISCONNECT_MESSAGE, self._tid)
        self._ready.set()
        while self._run:
            user32.MsgWaitForMultipleObjects(0, None, False, self.POLL_MS, QS_POSTMESSAGE)
            while user32.PeekMessageW(ctypes.byref(msg), None, 0, 0, PM_REMOVE):
                if int(msg.message) == _binding.DISCONNECT_MESSAGE:
                    self._rt.deliver_notice(int(msg.wParam or 0), int(msg.lParam or 0))

    def stop(self) -> None:
        self._run = False
        if threading.current_thread() is not self._thread:
            self._thread.join(2.0)
        # Turn the notice off only if no newer notice thread took over.
        if self._rt._notice is None:
            self._rt.lib.KR_4100_SetDVRMessage(_binding.DISCONNECT_MESSAGE, 0)


class CallbackQueue:
    """The events waiting for the host's callbacks of one Recorder: at most
    `capacity` of them. When it is full the oldest waiting event is given up
    (counted in `dropped`), so a callback slower than the recorder's messages
    sees the newest ones and the queue never grows past its bound. The
    runtime's event thread takes one event at a time and runs `run` with it.

    `close` gives up what still waits and returns once no callback of the
    queue runs any more, unless it is called from that callback itself."""

    def __init__(self, capacity: int, run: Callable[[Any], None]) -> None:
        if capacity < 1:
            raise ValueError("a callback queue holds at least one event")
        self.capacity = capacity
        self.dropped = 0
        self._run = run
        self._events: Deque[Any] = collections.deque()
        self._cond = threading.Condition(threading.Lock())
        self._closed = False
        self._scheduled = False  # in the event thread's line, or running
        self._runner: Optional[threading.Thread] = None  # the thread in a callback now

    def put(self, event: Any) -> bool:
        """Adds an event; True when the queue must be put in line."""
        with self._cond:
            if self._closed:
                return False
            if len(self._events) >= self.capacity:
                self._events.popleft()
                self.dropped += 1
            self._events.append(event)
            if self._scheduled:
                return False
            self._scheduled = True
            return True

    def run_one(self) -> bool:
        """On the event thread: runs the callbacks for the oldest event.
        True when more wait (the queue stays in line)."""
        with self._cond:
            if self._closed or not self._events:
                self._scheduled = False
                return False
            event = self._events.popleft()
            self._runner = threading.current_thread()
        try:
            self._run(event)
        finally:
            with self._cond:
                self._runner = None
                self._cond.notify_all()
                more = not self._closed and bool(self._events)
                if not more:
                    self._scheduled = False
        return more

    def close(self, wait: bool = True) -> None:
        """No callback starts any more; with `wait`, returns once the one
        running (if any) has returned, unless this is that callback's own
        thread."""
        with self._cond:
            self._closed = True
            self._events.clear()
            while wait and self._runner is not None and self._runner is not threading.current_thread():
                self._cond.wait()

    def __len__(self) -> int:
        with self._cond:
            return len(self._events)


class _EventThread:
    """Runs the host's event callbacks, one after another, away from the
    library's threads: the callback queues with events waiting take turns,
    one event each."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._line: Deque[CallbackQueue] = collections.deque()
        self._stopping = False
        self._thread = threading.Thread(target=self._main, name="kestrelnet-events", daemon=True)
        self._thread.start()

    def schedule(self, callbacks: CallbackQueue) -> None:
        with self._cond:
            self._line.append(callbacks)
            self._cond.notify()

    def _main(self) -> None:
        while True:
            with self._cond:
                while not self._line and not self._stopping:
                    self._cond.wait()
                if self._stopping:
                    return
                callbacks = self._line.popleft()
            if callbacks.run_one():  # callers wrap the callbacks: errors are kept for the Recorder
                with self._cond:
                    self._line.append(callbacks)

    def stop(self, wait: bool = True) -> None:
        """Ends the thread after the callback it runs now, if any. Every
        Recorder of the release is closed by then, and each close waited for
        its own callbacks, so the thread is idle unless the process is ending
        or a callback closed its own Recorder."""
        with self._cond:
            self._stopping = True
            self._line.clear()
            self._cond.notify()
        if wait and threading.current_thread() is not self._thread:
            self._thread.join(2.0)


_runtimes: Dict[str, Runtime] = {}
_runtimes_lock = threading.Lock()


def runtime(release: Optional[str] = None) -> Runtime:
    """The runtime of a release, loading its library on first use. Without a
    release: ``KESTRELNET_RELEASE`` or 1.0.0.13."""
    import os

    rel = release or os.environ.get("KESTRELNET_RELEASE") or _binding.DEFAULT_RELEASE
    with _runtimes_lock:
        rt = _runtimes.get(rel)
        if rt is None:
            rt = Runtime(rel, _binding.library_path(rel))
            _runtimes[rel] = rt
        return rt


def loaded_runtimes() -> List[Runtime]:
    with _runtimes_lock:
        return list(_runtimes.values())


@atexit.register
def _shutdown_all() -> None:
    # Before the interpreter goes: stop every stream and log every session
    # out, so that no library thread calls into a finalizing interpreter.
    for rt in loaded_runtimes():
        try:
            rt.shutdown()
        except BaseException:  # noqa: BLE001
            pass
