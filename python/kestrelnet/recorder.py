"""`Recorder`: one logged-in session with a recorder."""

from __future__ import annotations

import ctypes
import datetime as _dt
import os
import socket
import threading
import time
import weakref
from typing import IO, Any, Callable, List, Optional, Tuple, TypeVar, Union

from . import _binding
from ._runtime import CallbackQueue, Runtime, address_text, runtime
from ._streams import DownloadStream, FrameBuffer, LiveStream, PlaybackStream, Stream
from .errors import Error, LoginRefused, RequestFailed, Timeout, Unreachable
from .types import Disconnected, Event, Message, Record

# The library gives up a login after 1.2 s without a byte from the recorder
# (release 1.0.0.13), whatever the reply time-out.
_LOGIN_SILENCE = 1.2
# A failure that took this share of its time-out is taken for a time-out.
_TIMEOUT_SHARE = 0.9
_MAX_PARAM_PAYLOAD = 89
_TRANSPORTS = {"udp": 0, "tcp": 1}

StreamT = TypeVar("StreamT", bound=Stream)
TimeLike = Union[_dt.datetime, _dt.date]
TalkSource = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", IO[bytes]]


class EventStream:
    """Recorder messages and disconnect notices of one Recorder, in order:
    iterate with ``for`` or ``async for``. A bounded buffer that drops the
    oldest event when full (`dropped` counts them). It ends when the Recorder
    is closed or the stream is closed."""

    def __init__(self, recorder: "Recorder", capacity: int, timeout: Optional[float]) -> None:
        self._recorder = recorder
        self._buffer = FrameBuffer(capacity, "drop-oldest")
        self.timeout = timeout

    @property
    def dropped(self) -> int:
        return self._buffer.dropped

    def _push(self, event: Event) -> None:
        self._buffer.put_item(event)

    def close(self) -> None:
        self._buffer.close()
        self._recorder._event_streams.discard(self)

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> "EventStream":
        return self

    def __next__(self) -> Event:
        self._recorder._raise_pending()
        event, _ = self._buffer.take(self.timeout)
        if event is None:
            raise StopIteration
        return event  # type: ignore[return-value]

    def __aiter__(self) -> "EventStream":
        return self

    async def __anext__(self) -> Event:
        self._recorder._raise_pending()
        event, _ = await self._buffer.take_async(self.timeout)
        if event is None:
            raise StopAsyncIteration
        return event  # type: ignore[return-value]


class Recorder:
    """A session with one recorder: logs in when made, logs out on `close` or
    at the end of a ``with`` block (which also stops every stream of it).

    >>> with kestrelnet.Recorder("127.0.0.1", 5050, "admin", "secret") as rec:
    ...     for frame in rec.live(0):
    ...         ...

    `timeout` is the library's reply time-out in seconds for every request of
    this Recorder (the library keeps one process-wide value; each request sets
    it before it starts). `release` picks the library release, "1.0.0.13"
    (default, or ``KESTRELNET_RELEASE``) or "1.0.0.1"; both may be used in one
    process. `callback_buffer` is how many events at most wait for the
    `on_message` and `on_disconnect` callbacks; when it is full the oldest
    waiting event is given up (`callbacks_dropped` counts them).

    Raises `Unreachable`, `LoginRefused` or `Timeout` when the login fails.
    """

    def __init__(self, host: str, port: int = 5050, user: str = "admin", password: str = "", *,
                 timeout: float = 3.0, release: Optional[str] = None, callback_buffer: int = 256) -> None:
        self.host = host
        self.port = int(port)
        self.user = user
        self.timeout = float(timeout)
        self.name = f"{host}:{self.port}"
        self._rt: Runtime = runtime(release)
        self.release = self._rt.release
        self._handle: Optional[int] = None
        self._closed = False
        self._request_lock = threading.Lock()
        self._streams: "weakref.WeakSet[Stream]" = weakref.WeakSet()
        self._event_streams: "weakref.WeakSet[EventStream]" = weakref.WeakSet()
        self._message_callbacks: List[Callable[[Message], None]] = []
        self._disconnect_callbacks: List[Callable[[Disconnected], None]] = []
        self._callbacks = CallbackQueue(callback_buffer, self._run_callbacks)
        self._pending: Optional[BaseException] = None
        self._pending_lock = threading.Lock()
        self.login_result = 0
        self.disconnects = 0
        if self.timeout <= 0 or (self.release == "1.0.0.1" and self.timeout < 1.0):
            raise ValueError(f"reply time-out {timeout} s: release {self.release} takes "
                             f"{'at least 1 s' if self.release == '1.0.0.1' else 'more than 0'}")
        self._login(password)

    # -- session -------------------------------------------------------------
    def _login(self, password: str) -> None:
        try:
            infos = socket.getaddrinfo(self.host, self.port, socket.AF_INET, socket.SOCK_STREAM)
        except (socket.gaierror, UnicodeError) as e:
            raise Unreachable(f"cannot resolve {self.host!r}: {e}") from None
        self._key: Tuple[str, int] = (infos[0][4][0], self.port & 0xFFFF)
        result = ctypes.c_int32(0)
        lib = self._rt.lib
        with self._rt.gate.exclusive():
            for other in list(self._rt.recorders):
                if other is not self and other._handle is not None and other._key == self._key:
                    # The library would log the other one out and hand its
                    # session over.
                    raise Error(f"{self.name} is already logged in by another Recorder of this process")
            self._set_timeout()
            began = time.monotonic()
            handle = lib.KR_4100_Login(self.host.encode(), self.port, self.user.encode(), password.encode(),
                                       ctypes.byref(result))
            took = time.monotonic() - began
            if handle:
                self._handle = handle
                self.login_result = result.value
                self._rt.recorders.add(self)
                self._rt.session_opened(handle, self)
                return
        if not _can_connect(self.host, self.port, 1.5):
            raise Unreachable(f"cannot reach the recorder at {self.name}: no TCP connection")
        limit = self.timeout if self.release == "1.0.0.1" else min(self.timeout, _LOGIN_SILENCE)
        if took >= _TIMEOUT_SHARE * limit:
            raise Timeout(f"the recorder at {self.name} did not answer the login within {limit:g} s")
        raise LoginRefused(f"the recorder at {self.name} refused the login of user {self.user!r} "
                           "(or closed the connection)")

    def close(self) -> None:
        """Stops every stream of this Recorder and logs out. Safe to call more
        than once, and from one of its own callbacks.

        Once it returns, no `on_message` or `on_disconnect` callback of this
        Recorder runs: events still waiting for them are given up, and a
        callback running on the event thread is waited for (not when `close`
        is called from that callback)."""
        self._close(wait_for_callbacks=True)

    def _close(self, wait_for_callbacks: bool) -> None:
        # Every caller, not only the first, returns with the callbacks
        # stopped.
        self._callbacks.close(wait_for_callbacks)
        if self._closed:
            return
        self._closed = True
        for stream in list(self._streams):
            stream.close()
        for events in list(self._event_streams):
            events.close()
        handle, self._handle = self._handle, None
        if handle is not None:
            with self._rt.gate.exclusive():
                self._rt.lib.KR_4100_Logout(handle)
                self._rt.session_closed(handle)
        self._rt.recorders.discard(self)

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        self.close()
        if exc_type is None:
            self._raise_pending()

    def __del__(self) -> None:
        try:
            self.close()
        except BaseException:  # noqa: BLE001 - nothing to raise to in a finalizer
            pass

    def __repr__(self) -> str:
        state = "logged in" if self._handle is not None else "closed"
        return f"<kestrelnet.Recorder {self.name} release {self.release}, {state}>"

    @property
    def handle(self) -> Optional[int]:
        """The library's session handle; None once closed."""
        return self._handle

    def _session(self) -> int:
        self._raise_pending()
        if self._handle is None:
            raise Error(f"the Recorder for {self.name} is closed")
        return self._handle

    def _set_timeout(self) -> None:
        self._rt.lib.KR_4100_SetConnectTime(max(1, int(self.timeout * 1000)))

    def _failure(self, what: str, took: float) -> Error:
        if took >= _TIMEOUT_SHARE * self.timeout:
            return Timeout(f"{what}: no answer from {self.name} within {self.timeout:g} s")
        return RequestFailed(f"{what}: refused")

    # -- streams -------------------------------------------------------------
    def live(self, channel: int, transport: str = "tcp", *, buffer: int = 64,
             idle_timeout: Optional[float] = None) -> LiveStream:
        """Live video of a channel over ``"tcp"`` or ``"udp"`` (the recorder
        may move it to a multicast group). Keeps the newest `buffer` frames:
        a consumer that falls behind loses the oldest (`LiveStream.dropped`).
        `idle_timeout` seconds without a frame raise `Timeout`."""
        if transport not in _TRANSPORTS:
            raise ValueError(f"transport {transport!r}: 'tcp' or 'udp'")
        for s in list(self._streams):
            if isinstance(s, LiveStream) and s.channel == channel and s.handle is not None:
                raise Error(f"channel {channel} of {self.name} is already live in this Recorder")
        stream = LiveStream(self, channel, transport, FrameBuffer(buffer, "drop-oldest"), idle_timeout)
        lib = self._rt.lib
        return self._open(stream, f"live video of channel {channel}", lambda h, user: lib.KR_4100_RealPlay(
            h, channel, _TRANSPORTS[transport], self._rt.data_callback, user))

    def playback(self, channel: int, start: TimeLike, *, buffer: int = 64,
                 idle_timeout: Optional[float] = None) -> PlaybackStream:
        """Playback of a channel from `start` until the recording ends, with
        pause(), resume(), step(), faster(), slower() and control(). The
        buffer drops the oldest frame when full."""
        stream = PlaybackStream(self, channel, FrameBuffer(buffer, "drop-oldest"), idle_timeout)
        begin = _dvr_time(start)
        lib = self._rt.lib
        return self._open(stream, f"playback of channel {channel}", lambda h, user: lib.KR_4100_PlayBack(
            h, channel, ctypes.byref(begin), self._rt.data_callback, user))

    def download(self, channel: int, start: _dt.datetime, end: _dt.datetime, *, buffer: int = 64,
                 idle_timeout: Optional[float] = None, fps: float = 25.0) -> DownloadStream:
        """The recordings of a channel between two times of one day. No frame
        is lost: when `buffer` frames wait, the library waits, and the
        recorder is slowed down.

        A recorder may send less than asked: a download that ends with fewer
        pictures than the span at `fps` pictures a second (the recording's
        rate; 25, as the library's decoder header says, unless given) raises
        `Incomplete` after its last frame."""
        if start.date() != end.date():
            raise ValueError("a download lies within one day: split it at midnight")
        if end < start:
            raise ValueError("a download ends after it starts")
        if not 0 < fps < 1e6:
            raise ValueError(f"a recording's rate of {fps} frames a second")
        asked = float(_seconds_of_day(end) - _seconds_of_day(start))
        stream = DownloadStream(self, channel, FrameBuffer(buffer, "wait"), idle_timeout, asked, float(fps))
        begin, finish = _dvr_time(start), _dvr_time(end)
        lib = self._rt.lib
        return self._open(stream, f"download of channel {channel}", lambda h, user: lib.KR_4100_DownLoad(
            h, channel, ctypes.byref(begin), ctypes.byref(finish), self._rt.data_callback, user))

    def _open(self, stream: "StreamT", what: str, opener: Callable[[int, int], Any]) -> "StreamT":
        session = self._session()
        user = self._rt.add_route(stream.buffer)
        try:
            with self._rt.gate.shared():
                self._set_timeout()
                began = time.monotonic()
                handle = opener(session, user)
                took = time.monotonic() - began
        except BaseException:
            self._rt.remove_route(user)
            raise
        if not handle:
            self._rt.remove_route(user)
            raise self._failure(what, took)
        stream._opened(handle, user)
        self._streams.add(stream)
        return stream

    def _stop_stream(self, stream: Stream, handle: int, user: int) -> None:
        try:
            if self._handle is not None:
                with self._rt.gate.shared():
                    self._rt.lib.KR_4100_StopRealPlay(handle)  # any kind, by the stream's kind
        finally:
            self._rt.remove_route(user)
            self._streams.discard(stream)

    def _control(self, handle: int, code: int) -> bool:
        if self._handle is None:
            return False
        with self._rt.gate.shared():
            return bool(self._rt.lib.KR_4100_PlayBackCtrl(handle, ctypes.c_int32(_signed32(code)).value) == 1)

    def _reachable(self) -> bool:
        return _can_connect(self.host, self.port, 1.0)

    # -- requests ------------------------------------------------------------
    def search(self, channel: int, day: TimeLike, last_day: Optional[TimeLike] = None, *,
               selector: int = 0) -> List[Record]:
        """The recordings of a channel on `day` (through `last_day`, one
        request per day), in the recorder's order. `selector` is a byte the
        recorder gets unchanged. Raises `Timeout` when a day was not answered.
        A record whose times do not form a date is left out."""
        first = _as_date(day)
        last = _as_date(last_day) if last_day is not None else first
        if last < first:
            raise ValueError("the last day of a search comes before its first")
        begin = _binding.DvrTime(first.year, first.month, first.day, 0, 0, 0)
        finish = _binding.DvrTime(last.year, last.month, last.day, 23, 59, 59)
        lib = self._rt.lib
        session = self._session()
        records: List[Record] = []
        with self._request_lock, self._rt.gate.shared():
            self._set_timeout()
            began = time.monotonic()
            answered = lib.KR_4100_FindFile(session, channel, selector & 0xFF, ctypes.byref(begin),
                                            ctypes.byref(finish))
            took = time.monotonic() - began
            record = _binding.DvrFileRecord()
            while lib.KR_4100_FindNextFile(session, ctypes.byref(record)) == _binding.FIND_RECORD:
                found = _record(channel, record)
                if found is not None:
                    records.append(found)
            lib.KR_4100_ClearFile(session)
        if answered != 1:
            raise self._failure(f"search of channel {channel} from {first} to {last}", took)
        return records

    def get_param(self, code: int, size: int, data: bytes = b"") -> bytes:
        """Reads the device parameter `code` (a request code of the library's
        table) into `size` bytes: the reply's bytes, then zeros where the reply
        was shorter (the library does not report the length). `data` is an
        optional request payload of at most 89 bytes. Release 1.0.0.1 accepts
        only a reply of exactly `size` bytes."""
        if not 0 < size <= 0x7FFFFFFF:
            raise ValueError("a parameter buffer holds at least one byte")
        _check_payload(data)
        out = ctypes.create_string_buffer(size)
        session = self._session()
        with self._request_lock, self._rt.gate.shared():
            self._set_timeout()
            began = time.monotonic()
            ok = self._rt.lib.KR_4100_GetDvrParam(session, code, data or None, len(data), out, size)
            took = time.monotonic() - began
        if ok != 1:
            raise self._failure(f"parameter {code}", took)
        return out.raw

    def set_param(self, code: int, data: bytes) -> None:
        """Writes the device parameter `code` with `data` (at most 89 bytes).
        Returns when the recorder answered; what it answered is not
        examined."""
        _check_payload(data)
        session = self._session()
        with self._request_lock, self._rt.gate.shared():
            self._set_timeout()
            began = time.monotonic()
            ok = self._rt.lib.KR_4100_SetDvrParam(session, code, bytes(data) or None, len(data))
            took = time.monotonic() - began
        if ok != 1:
            raise self._failure(f"parameter {code}", took)

    def talk(self, data_or_file: TalkSource, *, rate: Optional[float] = 16000.0, chunk: int = 640) -> int:
        """Sends audio to the recorder: bytes, a file name or a binary file,
        unchanged (they must already be in the recorder's audio format). Paced
        at `rate` bytes a second (None: as fast as the socket takes them), in
        pieces of `chunk` bytes. Returns the number of bytes sent; the talk
        channel is closed afterwards, also on an exception."""
        source = _talk_bytes(data_or_file)
        session = self._session()
        lib = self._rt.lib
        with self._rt.gate.shared():
            self._set_timeout()
            began = time.monotonic()
            handle = lib.KR_4100_Talk(session)
            took = time.monotonic() - began
        if not handle:
            raise self._failure("talk", took)
        sent = 0
        try:
            start = time.monotonic()
            view = memoryview(source)
            while sent < len(view):
                piece = bytes(view[sent:sent + chunk])
                with self._rt.gate.shared():
                    lib.KR_4100_AudioSend(handle, piece, len(piece))
                sent += len(piece)
                if rate:
                    ahead = start + sent / rate - time.monotonic()
                    if ahead > 0:
                        time.sleep(ahead)
        finally:
            if self._handle is not None:
                with self._rt.gate.shared():
                    lib.KR_4100_StopTalk(session)
        return sent

    # -- events --------------------------------------------------------------
    def events(self, *, buffer: int = 256, timeout: Optional[float] = None) -> EventStream:
        """Recorder messages (`Message`) and disconnect notices
        (`Disconnected`) of this Recorder from now on, for ``for`` or
        ``async for``. `timeout` seconds without an event raise `Timeout`."""
        self._session()
        stream = EventStream(self, buffer, timeout)
        self._event_streams.add(stream)
        return stream

    def on_message(self, callback: Callable[[Message], None]) -> None:
        """Calls `callback` with every recorder message from now on, on the
        package's event thread (never on a library thread), until `close`.
        An exception it raises is raised again by the next call on this
        Recorder. Events wait for the callbacks in a queue of
        `callback_buffer` events; when callbacks fall that far behind, the
        oldest waiting event is given up (`callbacks_dropped`)."""
        self._message_callbacks.append(callback)

    def on_disconnect(self, callback: Callable[[Disconnected], None]) -> None:
        """Calls `callback` with every disconnect notice, as `on_message`."""
        self._disconnect_callbacks.append(callback)

    @property
    def callbacks_dropped(self) -> int:
        """Events given up because `callback_buffer` events already waited for
        the callbacks (events still waiting at `close` are not counted)."""
        return self._callbacks.dropped

    # The runtime's session sink: called on library threads and the notice
    # thread; only hands the event on.
    def _session_message(self, data: bytes) -> None:
        self._publish(Message(self.name, data, time.time()))

    def _session_notice(self, address: int) -> None:
        self.disconnects += 1
        self._publish(Disconnected(self.name, address_text(address), time.time()))

    def _raise_pending(self) -> None:
        with self._pending_lock:
            error, self._pending = self._pending, None
        if error is not None:
            raise error

    def _keep_error(self, error: BaseException) -> None:
        with self._pending_lock:
            if self._pending is None:
                self._pending = error

    def _callbacks_of(self, event: Event) -> "List[Callable[[Any], None]]":
        if isinstance(event, Message):
            return list(self._message_callbacks)
        return list(self._disconnect_callbacks)

    def _run_callbacks(self, item: "Tuple[Event, List[Callable[[Any], None]]]") -> None:
        # On the event thread: the callbacks registered when the event came.
        event, callbacks = item
        for callback in callbacks:
            try:
                callback(event)
            except BaseException as e:  # noqa: BLE001 - raised in the host's thread later
                self._keep_error(e)

    def _publish(self, event: Event) -> None:
        for stream in list(self._event_streams):
            stream._push(event)
        callbacks = self._callbacks_of(event)
        if callbacks and self._callbacks.put((event, callbacks)):
            self._rt.schedule_callbacks(self._callbacks)




def _can_connect(host: str, port: int, timeout: float) -> bool:
    try:
        with socket.create_connection((host, port), timeout=timeout):
            return True
    except OSError:
        return False


def _seconds_of_day(value: _dt.datetime) -> int:
    # The library carries whole seconds.
    return value.hour * 3600 + value.minute * 60 + value.second


def _signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def _as_date(value: TimeLike) -> _dt.date:
    return value.date() if isinstance(value, _dt.datetime) else value


def _dvr_time(value: TimeLike) -> _binding.DvrTime:
    if not isinstance(value, _dt.datetime):
        value = _dt.datetime(value.year, value.month, value.day)
    if not 2000 <= value.year <= 2255:
        raise ValueError(f"{value}: the recorder's years run from 2000 to 2255")
    return _binding.DvrTime(value.year, value.month, value.day, value.hour, value.minute, value.second)


def _record(channel: int, r: _binding.DvrFileRecord) -> Optional[Record]:
    try:
        start = _dt.datetime(r.Start.nYear, r.Start.nMonth, r.Start.nDay, r.Start.nHour, r.Start.nMinute,
                             r.Start.nSecond)
        end = _dt.datetime(r.End.nYear, r.End.nMonth, r.End.nDay, r.End.nHour, r.End.nMinute, r.End.nSecond)
    except ValueError:
        return None
    return Record(channel, start, end, r.dwValue)


def _check_payload(data: bytes) -> None:
    if len(data) > _MAX_PARAM_PAYLOAD:
        raise ValueError(f"a parameter request carries at most {_MAX_PARAM_PAYLOAD} bytes, not {len(data)}")


def _talk_bytes(source: TalkSource) -> bytes:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    return bytes(source.read())
