"""Fixtures: kestrel-recorder processes on 127.0.0.1 with a port of their own.

The emulator is found through KESTREL_RECORDER, else in a build folder of the
repository. Every wait here is bounded."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

REPO = Path(__file__).resolve().parents[2]
RELEASES = ["1.0.0.13", "1.0.0.1"]


def recorder_binary() -> str:
    named = os.environ.get("KESTREL_RECORDER")
    if named:
        return named
    for build in sorted(REPO.glob("build/*/tools/kestrel-recorder")):
        return str(build)
    pytest.exit("kestrel-recorder not found: set KESTREL_RECORDER or build the tools", returncode=3)
    raise AssertionError  # unreachable


class RecorderProcess:
    """One kestrel-recorder. `log` holds its stderr lines as they come."""

    def __init__(self, args: List[str]) -> None:
        self.proc = subprocess.Popen([recorder_binary(), "--port", "0", *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.log: List[str] = []
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        line = self.wait_for(r"listening on 127\.0\.0\.1:(\d+)", 10.0)
        self.port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", line).group(1))  # type: ignore[union-attr]

    def _read(self) -> None:
        assert self.proc.stderr is not None
        for line in self.proc.stderr:
            with self._cond:
                self.log.append(line.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def wait_for(self, pattern: str, timeout: float = 5.0) -> str:
        """The first log line matching pattern, waiting at most timeout."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.log:
                    if rx.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError(f"no log line like {pattern!r} within {timeout} s:\n" + "\n".join(self.log))
                self._cond.wait(left)

    def count(self, pattern: str) -> int:
        rx = re.compile(pattern)
        with self._cond:
            return sum(1 for line in self.log if rx.search(line))

    def kill(self) -> None:
        self.proc.kill()
        self.proc.wait(5)

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.kill()
        self._reader.join(5)


@pytest.fixture
def start_recorder() -> Iterator[Callable[..., RecorderProcess]]:
    started: List[RecorderProcess] = []

    def start(*args: str) -> RecorderProcess:
        rec = RecorderProcess(list(args))
        started.append(rec)
        return rec

    yield start
    for rec in started:
        rec.stop()


@pytest.fixture
def recorder(start_recorder: Callable[..., RecorderProcess]) -> RecorderProcess:
    return start_recorder()


@pytest.fixture(params=RELEASES)
def release(request: pytest.FixtureRequest) -> str:
    return str(request.param)


def make_clip(path: Path, frame_bytes: int, frames: int, marker: int) -> Path:
    """An Annex B 'clip' the emulator cuts into `frames` access units of about
    `frame_bytes` bytes: a delimiter and one slice each, the slice bytes never
    zero (so no start code hides in them) and starting with `marker`."""
    out = bytearray()
    for n in range(frames):
        out += b"\x00\x00\x00\x01\x09\xf0"  # access unit delimiter
        body = bytes(((i * 7 + n) % 255) + 1 for i in range(frame_bytes - 12))
        out += b"\x00\x00\x00\x01\x65\x88" + bytes([marker]) + body
    path.write_bytes(bytes(out))
    return path


def run_python(args: List[str], timeout: float, **kw: object) -> subprocess.CompletedProcess:  # type: ignore[type-arg]
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout, **kw)  # type: ignore[call-overload]


def task_count() -> int:
    """Threads of this process as the kernel sees them (the library's too)."""
    return len(os.listdir("/proc/self/task"))


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def settle(predicate: Callable[[], bool], timeout: float = 3.0) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True

