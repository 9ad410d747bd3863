"""The exceptions of kestrelnet. Every failure of the library is raised as a
subclass of `Error` that says what happened; a call never returns 0 for it."""

from __future__ import annotations


class Error(Exception):
    """Base of every kestrelnet failure."""


class Unreachable(Error):
    """The recorder's name did not resolve, or no TCP connection to it could
    be made."""


class LoginRefused(Error):
    """The recorder answered the login with a refusal, or closed the
    connection."""


class Timeout(Error):
    """The recorder did not answer within the reply time-out (also: no frame
    came within a stream's idle time-out)."""


class StreamLost(Error):
    """A stream's connection was lost before its end: a live stream whose
    connection closed, or a playback or download whose recorder is gone."""


class RequestFailed(Error):
    """The library refused a request at once (an unknown parameter code, a
    reply of another size in release 1.0.0.1, a stream the recorder did not
    open)."""


class Incomplete(Error):
    """A download that the recorder ended before the end asked for: every
    frame it sent was delivered, but they make `received` seconds of the
    `asked` ones (`pictures` of `pictures_asked`). Raised after the last
    frame, in place of the end of the iteration."""

    def __init__(self, message: str, *, received: float, asked: float, pictures: int, pictures_asked: int) -> None:
        super().__init__(message)
        self.received = received
        self.asked = asked
        self.pictures = pictures
        self.pictures_asked = pictures_asked
