"""Ctrl-C inside a loop, and nothing left behind after a `with` block."""

from __future__ import annotations

import datetime as dt
import signal
import subprocess
import sys
import time

import pytest

import kestrelnet as kn
from conftest import fd_count, settle, task_count

START = dt.datetime(2024, 5, 1, 8, 0, 0)

CHILD = r"""
import datetime as dt, os, sys, time
import kestrelnet as kn

port, kind = int(sys.argv[1]), sys.argv[2]
kn.decoder_header()  # the library is loaded before the counts are taken
tasks, fds = len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))
try:
    with kn.Recorder("127.0.0.1", port) as rec:
        start = dt.datetime(2024, 5, 1, 8)
        stream = rec.live(0) if kind == "live" else rec.download(0, start, start.replace(minute=1), buffer=2)
        for frame in stream:
            print("frame", flush=True)
            time.sleep(0.05)  # a slow consumer: a download waits in the library meanwhile
except KeyboardInterrupt:
    print("interrupted", flush=True)
deadline = time.monotonic() + 3  # the library's threads end within their stop grace
while len(os.listdir("/proc/self/task")) != tasks and time.monotonic() < deadline:
    time.sleep(0.02)
print("left", len(os.listdir("/proc/self/task")) - tasks, len(os.listdir("/proc/self/fd")) - fds, flush=True)
"""


@pytest.mark.parametrize("kind", ["live", "download"])
def test_ctrl_c_inside_a_loop(recorder, kind: str) -> None:
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(recorder.port), kind], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None
        for _ in range(3):
            assert child.stdout.readline().strip() == "frame"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert child.returncode == 0, err
    lines = [line for line in out.splitlines() if line != "frame"]
    assert lines == ["interrupted", "left 0 0"], out + err
    recorder.wait_for("command: logout")
    if kind == "live":
        recorder.wait_for("stop live channel 0")


def test_nothing_left_behind_after_a_with_block(start_recorder) -> None:
    recorder = start_recorder("--message-every", "50")
    kn.decoder_header()
    threads_before, fds_before = task_count(), fd_count()
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        next(iter(rec.events(timeout=5)))
        live = rec.live(0, "udp", idle_timeout=5)
        next(live)
        play = rec.playback(1, START, idle_timeout=5)
        next(play)
        down = rec.download(2, START, START + dt.timedelta(seconds=30), buffer=2, idle_timeout=5)
        next(down)  # the library's delivery thread now waits for room
        rec.talk(b"\x00" * 320, rate=None)
        rec.search(0, START)
        assert task_count() > threads_before
    assert live.handle is None and play.handle is None and down.handle is None
    assert settle(lambda: task_count() == threads_before, 3.0), f"{task_count()} threads, {threads_before} before"
    assert fd_count() == fds_before
    recorder.wait_for("command: logout")


def test_call_gate_lets_a_waiting_login_go_first() -> None:
    """Login and logout never run beside another call, and calls that keep
    coming do not hold a waiting login off for ever."""
    import threading
    import time

    from kestrelnet._runtime import CallGate

    gate = CallGate()
    order = []
    first = gate.shared()
    first.__enter__()

    def exclusive() -> None:
        with gate.exclusive():
            order.append("exclusive")

    def shared() -> None:
        with gate.shared():
            order.append("shared")

    waiting = threading.Thread(target=exclusive)
    waiting.start()
    assert settle(lambda: gate._waiting == 1, 3.0)
    later = threading.Thread(target=shared)
    later.start()
    time.sleep(0.05)
    assert order == []  # the login waits for the call under way, the new call for the login
    first.__exit__(None, None, None)
    waiting.join(3)
    later.join(3)
    assert order == ["exclusive", "shared"]


EXIT_CHILD = r"""
import atexit, sys, time
import kestrelnet as kn

rec = kn.Recorder("127.0.0.1", int(sys.argv[1]), callback_buffer=8)

def slow(message):
    print("callback", flush=True)
    time.sleep(0.05)

rec.on_message(slow)
deadline = time.monotonic() + 5
while rec.callbacks_dropped == 0 and time.monotonic() < deadline:
    time.sleep(0.01)
# Runs before the package's own handler (registered at its import).
atexit.register(lambda: print("exiting", time.monotonic(), flush=True))
"""


def test_exit_does_not_wait_on_callbacks(start_recorder) -> None:
    """The interpreter ends with callbacks behind and one running: none
    starts after the program's end, and nothing waits for them."""
    recorder = start_recorder("--message-every", "10")
    done = subprocess.run([sys.executable, "-c", EXIT_CHILD, str(recorder.port)], capture_output=True, text=True,
                          timeout=30)
    ended = time.monotonic()
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    exiting = [n for n, line in enumerate(lines) if line.startswith("exiting ")]
    assert len(exiting) == 1 and exiting[0] > 0, done.stdout
    assert lines[exiting[0] + 1:].count("callback") <= 1, done.stdout  # at most one on its way in
    assert ended - float(lines[exiting[0]].split()[1]) < 4.0  # no wait for the queue or the one running
    recorder.wait_for("command: logout")
