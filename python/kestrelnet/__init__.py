"""kestrelnet: the recorder client library for Python.

Log in to networked video recorders, watch live video, search, play back and
download recordings, talk to a recorder and read and write its parameters::

    import datetime, kestrelnet

    with kestrelnet.Recorder("127.0.0.1", 5050, "admin", "secret") as rec:
        for record in rec.search(0, datetime.date(2024, 5, 1)):
            print(record.start, record.end)
        with open("live.raw", "wb") as out:
            for n, frame in enumerate(rec.live(0)):
                out.write(frame.payload)
                if n == 100:
                    break

The package drives libkestrelnet through ctypes; see README.md beside it for
how the library is found and which release is loaded.
"""

from __future__ import annotations

import ctypes
from typing import Optional

from ._binding import RELEASES, LibraryNotFound, library_path
from ._runtime import runtime as _runtime
from ._streams import DownloadStream, FrameBuffer, LiveStream, PlaybackStream, Stream
from .errors import Error, Incomplete, LoginRefused, RequestFailed, StreamLost, Timeout, Unreachable
from .recorder import EventStream, Recorder
from .types import Disconnected, Event, Frame, FrameType, Message, Record

__version__ = "1.0.0.13"

DECODER_HEADER_SIZE = 64


def decoder_header(release: Optional[str] = None) -> bytes:
    """The library's 64-byte decoder header for the host's decoder
    ("KRVIDHDR", 64, "264", 25 frames a second, 352 x 288, ...)."""
    address = _runtime(release).lib.KR_4100_GetDecoderHeader(0)
    return ctypes.string_at(address, DECODER_HEADER_SIZE)


def library_file(release: Optional[str] = None) -> str:
    """The library file loaded for a release (loading it if need be)."""
    return _runtime(release).lib.path


__all__ = [
    "RELEASES",
    "Disconnected",
    "DownloadStream",
    "Error",
    "Event",
    "EventStream",
    "Frame",
    "FrameBuffer",
    "FrameType",
    "Incomplete",
    "LibraryNotFound",
    "LiveStream",
    "LoginRefused",
    "Message",
    "PlaybackStream",
    "Record",
    "Recorder",
    "RequestFailed",
    "Stream",
    "StreamLost",
    "Timeout",
    "Unreachable",
    "decoder_header",
    "library_file",
    "library_path",
]
