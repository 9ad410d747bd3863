"""The C interface of libkestrelnet through ctypes: finding and loading the
library file of a release, the record types and the prototypes.

ctypes is part of every CPython, so the package needs no compiler when it is
installed against a library that is already built, and nothing beyond the
standard library at run time.
"""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

RELEASES = ("1.0.0.13", "1.0.0.1")
DEFAULT_RELEASE = "1.0.0.13"

IS_WINDOWS = sys.platform == "win32"

if IS_WINDOWS:
    # Every export and both callback types are __stdcall on 32-bit Windows;
    # on 64-bit Windows there is one calling convention and WINFUNCTYPE is
    # the same as CFUNCTYPE.
    _FUNCTYPE: Callable[..., Any] = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
    _LIBRARY_CLASS: Any = ctypes.WinDLL  # type: ignore[attr-defined]
    _FILE_NAME = "kestrelnet.dll"
else:
    _FUNCTYPE = ctypes.CFUNCTYPE
    _LIBRARY_CLASS = ctypes.CDLL
    _FILE_NAME = "libkestrelnet.so.1"

DISCONNECT_MESSAGE = 0x1200
FIND_RECORD = 1000
FIND_NONE = 1001
FIND_FINISHED = 1003
PLAY_PAUSE = 0x2800
PLAY_RESUME = -1
PLAY_STEP = -2


class DvrTime(ctypes.Structure):
    _fields_ = [
        ("nYear", ctypes.c_int32),
        ("nMonth", ctypes.c_int32),
        ("nDay", ctypes.c_int32),
        ("nHour", ctypes.c_int32),
        ("nMinute", ctypes.c_int32),
        ("nSecond", ctypes.c_int32),
    ]


class DvrFileRecord(ctypes.Structure):
    _fields_ = [("Start", DvrTime), ("End", DvrTime), ("dwValue", ctypes.c_uint32)]


class DvrThreadMessage(ctypes.Structure):
    _fields_ = [
        ("message", ctypes.c_uint32),
        ("hSession", ctypes.c_void_p),
        ("dwAddress", ctypes.c_uint32),
    ]


DataCallback = _FUNCTYPE(
    None, ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int32, ctypes.c_uint32
)
MessageCallback = _FUNCTYPE(
    None, ctypes.c_uint32, ctypes.c_void_p, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_uint32
)

_p = ctypes.c_void_p
_i32 = ctypes.c_int32
_u32 = ctypes.c_uint32
_time = ctypes.POINTER(DvrTime)

# name: (result, argument types). The three names that Windows exports only
# decorated are looked up under that spelling there.
_PROTOTYPES: Dict[str, Any] = {
    "KR_4100_Init": (_i32, []),
    "KR_4100_Cleanup": (_i32, []),
    "KR_4100_SetConnectTime": (_i32, [_u32]),
    "KR_4100_SetDVRMessage": (_i32, [_u32, _u32]),
    "KR_4100_SetDVRMessCallBack": (_i32, [MessageCallback]),
    "KR_4100_GetDecoderHeader": (_p, [_i32]),
    "KR_4100_Login": (_p, [ctypes.c_char_p, _i32, ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(_i32)]),
    "KR_4100_Logout": (_i32, [_p]),
    "KR_4100_GetDvrParam": (_i32, [_p, _i32, _p, _i32, _p, _u32]),
    "KR_4100_SetDvrParam": (_i32, [_p, _i32, _p, _i32]),
    "KR_4100_FindFile": (_i32, [_p, _i32, _i32, _time, _time]),
    "KR_4100_FindNextFile": (_i32, [_p, ctypes.POINTER(DvrFileRecord)]),
    "KR_4100_ClearFile": (_i32, [_p]),
    "KR_4100_RealPlay": (_p, [_p, _i32, _i32, DataCallback, _u32]),
    "KR_4100_StopRealPlay": (_i32, [_p]),
    "KR_4100_PlayBack": (_p, [_p, _i32, _time, DataCallback, _u32]),
    "KR_4100_DownLoad": (_p, [_p, _i32, _time, _time, DataCallback, _u32]),
    "KR_4100_StopPlayBack": (_i32, [_p]),
    "KR_4100_StopDownLoad": (_i32, [_p]),
    "KR_4100_PlayBackCtrl": (_i32, [_p, _i32]),
    "KR_4100_Talk": (_p, [_p]),
    "KR_4100_StopTalk": (_i32, [_p]),
    "KR_4100_AudioSend": (None, [_p, _p, _i32]),
}
if not IS_WINDOWS:
    _PROTOTYPES["KR_4100_GetThreadMessage"] = (_i32, [ctypes.POINTER(DvrThreadMessage), _u32])

_WINDOWS_NAMES = {
    "KR_4100_AudioSend": "_KR_4100_AudioSend@12",
    "KR_4100_PlayBackCtrl": "_KR_4100_PlayBackCtrl@8",
    "KR_4100_StopTalk": "_KR_4100_StopTalk@4",
}


class LibraryNotFound(OSError):
    """No library file of the asked release was found (see `library_path`)."""


def _package_library(release: str) -> Path:
    """Where an install that built the library put it inside the package."""
    lib = Path(__file__).resolve().parent / "lib"
    if release == DEFAULT_RELEASE:
        return lib / _FILE_NAME
    return lib / "kestrelnet" / release / _FILE_NAME


def _system_library(release: str) -> str:
    """An installed library: the loader's own search for release 1.0.0.13,
    the release folder beside an installed libdir for 1.0.0.1."""
    if release == DEFAULT_RELEASE:
        return _FILE_NAME
    dirs: List[str] = [d for d in os.environ.get("LD_LIBRARY_PATH", "").split(os.pathsep) if d]
    dirs += ["/usr/local/lib", "/usr/local/lib64", "/usr/lib", "/usr/lib64", "/usr/lib/x86_64-linux-gnu",
             "/usr/lib/aarch64-linux-gnu", "/usr/lib/i386-linux-gnu"]
    for d in dirs:
        candidate = Path(d) / "kestrelnet" / release / _FILE_NAME
        if candidate.exists():
            return str(candidate)
    raise LibraryNotFound(f"no installed kestrelnet/{release}/{_FILE_NAME} under {', '.join(dirs)}")


def library_path(release: str = DEFAULT_RELEASE) -> str:
    """The file that `load` opens for a release.

    In order: the variable ``KESTRELNET_LIBRARY`` (release 1.0.0.13) or
    ``KESTRELNET_LIBRARY_1001`` (release 1.0.0.1) naming a file; the value
    ``system`` in ``KESTRELNET_LIBRARY`` for an installed libkestrelnet.so.1;
    the library built into the package; an installed library.
    """
    if release not in RELEASES:
        raise ValueError(f"unknown release {release!r}: one of {', '.join(RELEASES)}")
    named = os.environ.get("KESTRELNET_LIBRARY" if release == DEFAULT_RELEASE else "KESTRELNET_LIBRARY_1001", "")
    mode = os.environ.get("KESTRELNET_LIBRARY", "")
    if named and named != "system":
        return named
    packaged = _package_library(release)
    if mode != "system" and packaged.exists():
        return str(packaged)
    return _system_library(release)


class Library:
    """One loaded library file with its prototypes set: ``lib.KR_4100_Login(...)``."""

    def __init__(self, path: str, release: str) -> None:
        self.path = path
        self.release = release
        try:
            self._dll = _LIBRARY_CLASS(path)
        except OSError as e:
            raise LibraryNotFound(f"cannot load {path}: {e}") from e
        for name, (restype, argtypes) in _PROTOTYPES.items():
            exported = _WINDOWS_NAMES.get(name, name) if IS_WINDOWS else name
            fn = self._dll[exported]
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, name, fn)

    def __getattr__(self, name: str) -> Any:
        # Only for names that are not exports: every export was set above.
        # Declared so that type checkers take the exports as functions.
        raise AttributeError(f"libkestrelnet has no export {name}")


def to_dvr_time(year: int, month: int, day: int, hour: int = 0, minute: int = 0, second: int = 0) -> DvrTime:
    return DvrTime(year, month, day, hour, minute, second)


def thread_id() -> int:
    """The id the library's notice target wants: gettid() on Linux,
    GetCurrentThreadId() on Windows."""
    if IS_WINDOWS:
        return int(ctypes.windll.kernel32.GetCurrentThreadId())  # type: ignore[attr-defined]
    import threading

    return threading.get_native_id()
