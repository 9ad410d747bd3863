"""Streams of frames: a bounded buffer between the library's delivery thread
and the consumer, and the iterator objects that `Recorder.live`,
`Recorder.playback` and `Recorder.download` return."""

from __future__ import annotations

import asyncio
import collections
import threading
import time
from typing import TYPE_CHECKING, Any, Deque, Optional, Tuple

from ._binding import PLAY_PAUSE, PLAY_RESUME, PLAY_STEP
from .errors import Error, Incomplete, StreamLost, Timeout
from .types import Frame

if TYPE_CHECKING:
    from .recorder import Recorder

# How long one wait of the library's delivery thread for room lasts before it
# looks again whether the stream was closed meanwhile.
_ROOM_WAIT_SLICE = 0.1
# The library reports a closed connection (type 255) on the stream's receive
# thread while frames it already queued may still come from the delivery
# thread, and it says nothing when the last one has gone out. A stream whose
# connection closed ends once no frame came for this long.
DRAIN_QUIET = 0.5


class FrameBuffer:
    """A bounded queue of frames with one of two policies when it is full:
    ``"drop-oldest"`` (the oldest waiting frame goes, counted in `dropped`)
    or ``"wait"`` (the library's delivery thread waits for room, so the
    library's own queue fills and the recorder is slowed down by TCP).

    The producer is the library's thread, the consumer the host's, sync or
    asyncio."""

    def __init__(self, capacity: int, policy: str) -> None:
        if capacity < 1:
            raise ValueError("a buffer holds at least one frame")
        if policy not in ("drop-oldest", "wait"):
            raise ValueError(f"unknown buffer policy {policy!r}")
        self.capacity = capacity
        self.policy = policy
        self.dropped = 0
        self._frames: Deque[Frame] = collections.deque()
        self._cond = threading.Condition(threading.Lock())
        self._ended = False  # no frame will follow: closed, or a producer error
        self._lost = False  # the library reported the connection closed
        self._last_put = 0.0  # monotonic time of the last frame or of the loss
        self._producers_waiting = 0
        self._closed = False  # the consumer is done
        self._error: Optional[BaseException] = None
        self._waiter: Optional[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = None

    # -- producer side (library threads) ------------------------------------
    def put(self, frame_type: int, data: bytes) -> None:
        self.put_item(Frame(frame_type, data, time.time()))

    def put_item(self, frame: Any) -> None:
        with self._cond:
            if self.policy == "wait":
                self._producers_waiting += 1
                while len(self._frames) >= self.capacity and not self._closed:
                    self._cond.wait(_ROOM_WAIT_SLICE)
                self._producers_waiting -= 1
            if self._closed:
                return
            if len(self._frames) >= self.capacity:
                self._frames.popleft()
                self.dropped += 1
            self._frames.append(frame)
            self._last_put = time.monotonic()
            self._cond.notify_all()
            self._wake_async()

    def lost(self) -> None:
        with self._cond:
            self._lost = True
            self._last_put = time.monotonic()
            self._cond.notify_all()
            self._wake_async()

    def fail(self, error: BaseException) -> None:
        with self._cond:
            if self._error is None:
                self._error = error
            self._ended = True
            self._cond.notify_all()
            self._wake_async()

    def _wake_async(self) -> None:
        waiter, self._waiter = self._waiter, None
        if waiter is not None:
            loop, fut = waiter
            try:
                loop.call_soon_threadsafe(_set_done, fut)
            except RuntimeError:  # the loop is closed: nobody waits any more
                pass

    # -- consumer side -------------------------------------------------------
    def close(self) -> None:
        """The consumer is done: a waiting producer returns at once and later
        frames are dropped."""
        with self._cond:
            self._closed = True
            self._ended = True
            self._frames.clear()
            self._cond.notify_all()
            self._wake_async()

    @property
    def closed(self) -> bool:
        return self._closed

    def _state(self) -> Tuple[Optional[Frame], bool, Optional[float]]:
        """Under the lock: (frame, ended, how long the drain may still last)."""
        frame = self._pop()
        if frame is not None:
            return frame, False, None
        if self._error is not None:
            raise self._error
        if self._ended:
            return None, True, None
        if self._lost:
            if self._producers_waiting:
                return None, False, DRAIN_QUIET
            quiet = time.monotonic() - self._last_put
            if quiet >= DRAIN_QUIET:
                return None, True, None
            return None, False, DRAIN_QUIET - quiet
        return None, False, None

    def _step(self, deadline: Optional[float],
              timeout: Optional[float]) -> Tuple[Optional[Tuple[Optional[Frame], bool]], Optional[float]]:
        """Under the lock: the result of a take when there is one, else how
        long to wait (None: until woken)."""
        frame, ended, drain = self._state()
        if frame is not None:
            return (frame, False), None
        if ended:
            return (None, self._lost and not self._closed), None
        wait = drain
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Timeout(f"no frame within {timeout:g} s")
            wait = left if wait is None else min(wait, left)
        return None, wait

    def take(self, timeout: Optional[float]) -> Tuple[Optional[Frame], bool]:
        """The next frame, or (None, lost) at the end. Raises Timeout when no
        frame came within timeout seconds, and the producer's error."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while True:
                result, wait = self._step(deadline, timeout)
                if result is not None:
                    return result
                self._cond.wait(wait)

    async def take_async(self, timeout: Optional[float]) -> Tuple[Optional[Frame], bool]:
        """`take` for a consumer in an asyncio event loop: the library's
        thread wakes the loop through call_soon_threadsafe."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._cond:
                result, wait = self._step(deadline, timeout)
                if result is not None:
                    return result
                fut: "asyncio.Future[None]" = loop.create_future()
                self._waiter = (loop, fut)
            try:
                if wait is None:
                    await fut
                else:
                    await asyncio.wait_for(fut, wait)
            except asyncio.TimeoutError:
                pass  # the loop above tells a drain's end from a time-out
            finally:
                with self._cond:
                    if self._waiter is not None and self._waiter[1] is fut:
                        self._waiter = None

    def _pop(self) -> Optional[Frame]:
        if not self._frames:
            return None
        frame = self._frames.popleft()
        if self.policy == "wait":
            self._cond.notify_all()  # room for a waiting producer
        return frame

    def __len__(self) -> int:
        return len(self._frames)


def _set_done(fut: "asyncio.Future[None]") -> None:
    if not fut.done():
        fut.set_result(None)


class Stream:
    """Frames of one stream, in order: iterate with ``for`` or ``async for``.

    Leaving the loop (break, an exception, the end of a ``with`` block around
    the stream or the Recorder) stops the stream in the library; so does
    `close`. A stream that ends because the recorder closed it stops
    iterating; a live stream whose connection was lost raises `StreamLost`.
    """

    kind = "stream"

    def __init__(self, recorder: "Recorder", channel: int, buffer: FrameBuffer,
                 idle_timeout: Optional[float]) -> None:
        self.recorder = recorder
        self.channel = channel
        self.idle_timeout = idle_timeout
        self.frames = 0  # frames handed to the consumer
        self.pictures = 0  # of them pictures (types 2 and 3)
        self._buffer = buffer
        self._handle: Optional[int] = None
        self._user = 0
        self._stop_lock = threading.Lock()

    # Set by the Recorder once the library returned the handle.
    def _opened(self, handle: int, user: int) -> None:
        self._handle = handle
        self._user = user

    @property
    def handle(self) -> Optional[int]:
        """The library's stream handle; None once the stream was stopped."""
        return self._handle

    @property
    def dropped(self) -> int:
        """Frames given up because the consumer fell behind (live and playback)."""
        return self._buffer.dropped

    @property
    def buffer(self) -> FrameBuffer:
        return self._buffer

    def close(self) -> None:
        """Stops the stream in the library; frames not yet taken are dropped.
        Safe to call more than once and from any thread."""
        self._buffer.close()
        with self._stop_lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            self.recorder._stop_stream(self, handle, self._user)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if self._handle is not None:
                self.close()
        except BaseException:  # noqa: BLE001 - nothing to raise to in a finalizer
            pass

    def _ended(self, lost: bool) -> None:
        self.close()
        if lost:
            self._raise_lost()

    def _raise_lost(self) -> None:
        raise StreamLost(f"{self.kind} stream of channel {self.channel} on {self.recorder.name}: connection lost")

    def _check(self) -> None:
        self.recorder._raise_pending()

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> Frame:
        self._check()
        try:
            frame, lost = self._buffer.take(self.idle_timeout)
        except BaseException:
            self.close()
            raise
        if frame is None:
            self._ended(lost)
            raise StopIteration
        self._count(frame)
        return frame

    def __aiter__(self) -> "Stream":
        return self

    async def __anext__(self) -> Frame:
        self._check()
        try:
            frame, lost = await self._buffer.take_async(self.idle_timeout)
        except BaseException:
            self.close()
            raise
        if frame is None:
            self._ended(lost)
            raise StopAsyncIteration
        self._count(frame)
        return frame

    def _count(self, frame: Frame) -> None:
        self.frames += 1
        if frame.is_picture:
            self.pictures += 1

    async def aclose(self) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._handle is not None else "stopped"
        return f"<kestrelnet {self.kind} stream channel {self.channel} on {self.recorder.name}, {state}>"


class LiveStream(Stream):
    """Live video of a channel. The buffer drops the oldest frame when the
    consumer falls behind (`dropped` counts them)."""

    kind = "live"

    def __init__(self, recorder: "Recorder", channel: int, transport: str, buffer: FrameBuffer,
                 idle_timeout: Optional[float]) -> None:
        super().__init__(recorder, channel, buffer, idle_timeout)
        self.transport = transport


class _RecordingStream(Stream):
    """A playback or download: it ends when the recorder closes it. When the
    recorder itself is gone by then (it refuses a new connection), the stream
    raises `StreamLost` instead of ending quietly."""

    def _ended(self, lost: bool) -> None:
        self.close()
        if lost and not self.recorder._reachable():
            self._raise_lost()


class PlaybackStream(_RecordingStream):
    """Playback from a time until the recording ends, with the recorder's
    playback controls. The buffer drops the oldest frame when full."""

    kind = "playback"

    def control(self, code: int) -> None:
        """Sends a raw playback control code (see `pause`, `resume`, `step`,
        `faster`, `slower` for the named ones)."""
        self._check()
        handle = self._handle
        if handle is None:
            raise Error("the playback stream is stopped")
        if not self.recorder._control(handle, code):
            raise Error(f"playback control 0x{code & 0xFFFFFFFF:x} was not sent (stream gone)")

    def pause(self) -> None:
        """Pauses the recorder's sending."""
        self.control(PLAY_PAUSE)

    def resume(self) -> None:
        """Resumes at normal speed."""
        self.control(PLAY_RESUME)

    def step(self) -> None:
        """One picture, then paused."""
        self.control(PLAY_STEP)

    def faster(self, level: int = 3) -> None:
        """Faster playback at a level 3, 2, 1 or 0 (codes 0x4033, 0x5033,
        0x8033, 0xFF33); what each level means is the recorder's
        (kestrel-recorder: x2, x4, x8, x16)."""
        self.control(_speed_code(level, 0x33))

    def slower(self, level: int = 3) -> None:
        """Slower playback at a level 3, 2, 1 or 0 (codes 0x4066 ... 0xFF66;
        kestrel-recorder: x1/2 ... x1/16)."""
        self.control(_speed_code(level, 0x66))


class DownloadStream(_RecordingStream):
    """Download between two times. Lossless: when the buffer is full the
    library's delivery thread waits for room, the library's queue fills, and
    TCP slows the recorder down.

    A download is whole when the recorder sent the span asked for: `asked`
    seconds at `fps` pictures a second. One that the recorder ends sooner (a
    recorder that caps downloads, a recording that stops) raises `Incomplete`
    after its last frame, which says what came against what was asked."""

    kind = "download"

    def __init__(self, recorder: "Recorder", channel: int, buffer: FrameBuffer, idle_timeout: Optional[float],
                 asked: float, fps: float) -> None:
        super().__init__(recorder, channel, buffer, idle_timeout)
        self.asked = asked
        self.fps = fps

    @property
    def pictures_asked(self) -> int:
        """The pictures that make the span asked for (a rate such as 29.97
        rounds down)."""
        return int(self.asked * self.fps + 1e-6)

    @property
    def received(self) -> float:
        """Seconds of recording handed to the consumer so far, at `fps`."""
        return self.pictures / self.fps

    @property
    def complete(self) -> bool:
        """Whether the pictures of the whole span have come."""
        return self.pictures >= self.pictures_asked

    def _ended(self, lost: bool) -> None:
        super()._ended(lost)
        if lost and not self.complete:
            raise Incomplete(
                f"the recorder at {self.recorder.name} ended the download of channel {self.channel} after "
                f"{self.received:g} s of the {self.asked:g} s asked ({self.pictures} of {self.pictures_asked} "
                f"pictures at {self.fps:g} a second, {self.frames} frames in all)",
                received=self.received, asked=self.asked, pictures=self.pictures,
                pictures_asked=self.pictures_asked)


_LEVEL_BYTES = {3: 0x40, 2: 0x50, 1: 0x80, 0: 0xFF}


def _speed_code(level: int, operation: int) -> int:
    try:
        return (_LEVEL_BYTES[level] << 8) | operation
    except KeyError:
        raise ValueError(f"playback speed level {level!r}: one of 3, 2, 1, 0") from None

