"""The values kestrelnet hands out: frames, search records and events."""

from __future__ import annotations

import datetime as _dt
import enum
from typing import NamedTuple, Union


class FrameType(enum.IntEnum):
    """The library's frame types. 2 and 3 are pictures, with a 16-byte prefix;
    1 has an 8-byte prefix; 0 has none."""

    RAW = 0
    AUDIO = 1
    PICTURE = 2
    PICTURE_3 = 3


_PREFIX = {0: 0, 1: 8, 2: 16, 3: 16}


class Frame(NamedTuple):
    """One frame as the library delivered it.

    `type` is the frame type (0-3), `data` the library's bytes (its frame
    prefix followed by the payload), `time` the arrival time in seconds since
    the epoch (``time.time()`` when the library's thread handed it over).
    """

    type: int
    data: bytes
    time: float

    @property
    def payload(self) -> bytes:
        """The payload without the library's frame prefix."""
        return self.data[_PREFIX.get(self.type, 0):]

    @property
    def is_picture(self) -> bool:
        return self.type in (2, 3)

    @property
    def picture_number(self) -> int:
        """The stream's picture counter from the prefix of a picture (0 for
        the first); -1 for other frames."""
        if not self.is_picture or len(self.data) < 12:
            return -1
        return int.from_bytes(self.data[8:12], "little")

    @property
    def arrived(self) -> _dt.datetime:
        """The arrival time as a local `datetime`."""
        return _dt.datetime.fromtimestamp(self.time)


class Record(NamedTuple):
    """One recording found by `Recorder.search`: its channel, start and end
    (the recorder's local time, naive `datetime`), and the recorder's own
    32-bit value for it."""

    channel: int
    start: _dt.datetime
    end: _dt.datetime
    value: int

    @property
    def duration(self) -> _dt.timedelta:
        return self.end - self.start


class Message(NamedTuple):
    """A recorder message: the 12 bytes the recorder sent (their meaning is
    the recorder's), from the recorder `recorder` ("host:port")."""

    recorder: str
    data: bytes
    time: float


class Disconnected(NamedTuple):
    """The library's disconnect notice: the command connection to `recorder`
    closed, or the recorder sent nothing for 1.2 s (repeated every 200 ms
    while it stays silent). `address` is the recorder's IPv4 address. Release
    1.0.0.1 posts no notice."""

    recorder: str
    address: str
    time: float


Event = Union[Message, Disconnected]
"""What `Recorder.events` yields."""
