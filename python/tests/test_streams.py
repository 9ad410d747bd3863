"""Buffers, the end of streams, events, asyncio and several recorders in one
process."""

from __future__ import annotations

import asyncio
import datetime as dt
import threading
import time

import pytest

import kestrelnet as kn
from conftest import make_clip, settle

START = dt.datetime(2024, 5, 1, 8, 0, 0)


def test_a_short_download_is_not_an_end(start_recorder) -> None:
    """The recorder ends each download after 1 s (25 pictures): a download of
    3 s raises Incomplete after its last frame, saying what came."""
    recorder = start_recorder("--download-cap", "1")
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        down = rec.download(0, START, START + dt.timedelta(seconds=3), buffer=4, idle_timeout=5)
        numbers = []
        with pytest.raises(kn.Incomplete) as short:
            for f in down:
                numbers.append(f.picture_number)
        assert numbers == list(range(25))
        e = short.value
        assert (e.received, e.asked, e.pictures, e.pictures_asked) == (1.0, 3.0, 25, 75)
        assert "after 1 s of the 3 s asked (25 of 75 pictures at 25 a second" in str(e)
        assert (down.complete, down.received, down.handle) == (False, 1.0, None)
        # Judged at the recording's rate: 25 pictures are 2 s at 12.5 a second.
        half = rec.download(0, START, START + dt.timedelta(seconds=2), idle_timeout=5, fps=12.5)
        assert len(list(half)) == 25 and half.complete


def test_slow_live_consumer_loses_the_oldest_frames(recorder) -> None:
    with kn.Recorder("127.0.0.1", recorder.port) as rec, rec.live(0, buffer=4, idle_timeout=5) as live:
        first = next(live)
        # Not reading while ~25 frames arrive: only the newest 4 wait.
        assert settle(lambda: live.dropped >= 5, 5.0)
        assert len(live.buffer) == 4
        later = next(live)
        assert later.picture_number - first.picture_number > 4
        assert live.dropped >= later.picture_number - first.picture_number - 4


def test_slow_download_consumer_loses_nothing(start_recorder) -> None:
    recorder = start_recorder()
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        down = rec.download(0, START, START + dt.timedelta(seconds=10), buffer=4, idle_timeout=10)
        first = next(down)
        # The recorder sends 200 frames a second; 1.5 s without reading is
        # more than the package's 4 and the library's 120 frames can hold.
        time.sleep(1.5)
        assert len(down.buffer) == 4
        rest = [f.picture_number for f in down]
        assert [first.picture_number] + rest == list(range(250))
        assert down.dropped == 0


def test_leaving_the_loop_stops_the_stream(recorder) -> None:
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        for n, _ in enumerate(rec.live(0, idle_timeout=5)):
            if n == 2:
                break
        recorder.wait_for(r"stop live channel 0", 3.0)
        with rec.playback(0, START, idle_timeout=5) as play:
            next(play)
        recorder.wait_for(r"stop playback stream", 3.0)
        live = rec.live(1, idle_timeout=5)
        next(live)
    # Leaving the Recorder's block stops what is still open, then logs out.
    recorder.wait_for(r"stop live channel 1", 3.0)
    assert live.handle is None


def test_a_recorder_killed_mid_stream(start_recorder) -> None:
    recorder = start_recorder()
    events_seen = []
    with kn.Recorder("127.0.0.1", recorder.port, timeout=1.0) as rec:
        rec.on_disconnect(events_seen.append)
        live = rec.live(0, idle_timeout=10)
        down = rec.download(1, START, START + dt.timedelta(seconds=50), buffer=2, idle_timeout=10)
        next(live), next(down)
        recorder.kill()
        began = time.monotonic()
        with pytest.raises(kn.StreamLost):
            for _ in live:
                pass
        with pytest.raises(kn.StreamLost):
            for _ in down:
                pass
        assert time.monotonic() - began < 8
        assert settle(lambda: rec.disconnects > 0, 5.0)
        assert settle(lambda: bool(events_seen), 2.0)
        assert events_seen[0].address == "127.0.0.1" and events_seen[0].recorder == rec.name


def test_recorder_messages_as_callbacks_and_event_streams(start_recorder, release: str) -> None:
    recorder = start_recorder("--message-every", "40")
    got = []
    with kn.Recorder("127.0.0.1", recorder.port, release=release) as rec:
        rec.on_message(lambda m: got.append(threading.current_thread().name))
        events = rec.events(timeout=5)
        first = next(events)
        assert isinstance(first, kn.Message) and first.recorder == rec.name
        assert len(first.data) == 12 and first.data[4:10] == b"\x01\x00\x02\x00\x03\x00"
        second = next(events)
        assert int.from_bytes(second.data[:4], "little") == int.from_bytes(first.data[:4], "little") + 1
        assert settle(lambda: len(got) >= 2, 3.0)
        assert set(got) == {"kestrelnet-events"}  # never a library thread

        faults = []

        def fails(message: kn.Message) -> None:
            if not faults:  # once: a later one would come out of the end of the with block
                faults.append(message)
                raise RuntimeError("a fault in the host's callback")

        rec.on_message(fails)
        # The callback's exception comes out of the next call of this Recorder.
        with pytest.raises(RuntimeError, match="host's callback"):
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                rec.search(0, dt.date(2024, 5, 1))
                time.sleep(0.05)


def test_no_callback_runs_after_close_and_the_queue_is_bounded(start_recorder) -> None:
    """A message every 10 ms and a callback of 50 ms: the queue behind it
    stays at its bound, gives up the oldest and counts them; once close()
    returns, nothing of this Recorder runs."""
    recorder = start_recorder("--message-every", "10")
    closed = threading.Event()
    seen = []
    late = []

    def slow(message: kn.Message) -> None:
        if closed.is_set():
            late.append("began")
        seen.append(int.from_bytes(message.data[:4], "little"))
        time.sleep(0.05)
        if closed.is_set():
            late.append("ran on")

    with kn.Recorder("127.0.0.1", recorder.port, callback_buffer=4) as rec:
        rec.on_message(slow)
        assert settle(lambda: rec.callbacks_dropped >= 20, 5.0)
        assert len(rec._callbacks) <= 4
    closed.set()
    assert not settle(lambda: bool(late), 0.3), late
    # In order, and every message skipped between two that ran was counted.
    assert seen == sorted(set(seen)) and len(seen) >= 2
    assert 0 < (seen[-1] - seen[0] + 1) - len(seen) <= rec.callbacks_dropped


def test_close_from_its_own_callback(start_recorder) -> None:
    recorder = start_recorder("--message-every", "10")
    returned = threading.Event()
    calls = []
    rec = kn.Recorder("127.0.0.1", recorder.port)

    def closing(message: kn.Message) -> None:
        calls.append(message)
        rec.close()
        returned.set()

    rec.on_message(closing)
    assert returned.wait(5), "close() from its own callback did not return"
    assert rec.handle is None
    recorder.wait_for("command: logout")
    rec.close()  # again, from outside
    assert settle(lambda: "kestrelnet-events" not in {t.name for t in threading.enumerate()}, 3.0)
    assert len(calls) == 1


def test_disconnect_notice_as_an_event(start_recorder) -> None:
    recorder = start_recorder()
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        events = rec.events(timeout=5)
        recorder.kill()
        notice = next(e for e in events if isinstance(e, kn.Disconnected))
        assert notice.address == "127.0.0.1" and notice.recorder == rec.name


def test_asyncio_paths(start_recorder) -> None:
    recorder = start_recorder("--message-every", "40")

    async def main() -> None:
        with kn.Recorder("127.0.0.1", recorder.port) as rec:
            pictures = []
            async for frame in rec.live(0, idle_timeout=5):
                pictures.append(frame.picture_number)
                if len(pictures) == 3:
                    break
            assert pictures == list(range(pictures[0], pictures[0] + 3))
            down = rec.download(0, START, START + dt.timedelta(seconds=2), buffer=3, idle_timeout=5)
            numbers = [f.picture_number async for f in down]
            assert numbers == list(range(50))
            async for event in rec.events(timeout=5):
                assert isinstance(event, kn.Message)
                break
            # A consumer cancelled while it waits: the stream stops.
            # A recorder sends its first frames with its acknowledgement, so
            # a wait may find one already in: those are taken until a wait
            # really waits, and that one is cancelled.
            live = rec.live(1, idle_timeout=5)
            for _ in range(100):
                waiting = asyncio.ensure_future(live.__anext__())
                await asyncio.sleep(0)
                if waiting.cancel():
                    break
                await waiting
            with pytest.raises(asyncio.CancelledError):
                await waiting
            assert live.handle is None
            # An idle time-out surfaces in the consumer, and the loop runs
            # other work while the stream waits.
            ticks = 0

            async def ticker() -> None:
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0)

            play = rec.playback(2, START, idle_timeout=5)
            await play.__anext__()
            play.pause()
            play.idle_timeout = 0.3
            tick = asyncio.ensure_future(ticker())
            with pytest.raises(kn.Timeout):
                async for _ in play:  # what was on its way, then nothing
                    pass
            tick.cancel()
            assert ticks >= 1 and play.handle is None

    asyncio.run(asyncio.wait_for(main(), 30))
    recorder.wait_for(r"stop live channel 1")
    recorder.wait_for(r"stop playback stream")


def test_two_recorders_in_one_process(start_recorder, tmp_path) -> None:
    """Each Recorder gets its own frames and messages, also with the two
    releases side by side."""
    a = start_recorder("--message-every", "30")
    b = start_recorder("--message-every", "30", "--clip", str(make_clip(tmp_path / "b.h264", 3000, 25, 0xB7)))
    results = {}

    def consume(rec: kn.Recorder, key: str) -> None:
        with rec.live(0, idle_timeout=5) as live:
            results[key] = [bytes(f.payload[:17]) for _, f in zip(range(20), live)]
        results[key + "-events"] = [e.recorder for _, e in zip(range(3), rec.events(timeout=5))]

    with kn.Recorder("127.0.0.1", a.port) as ra, kn.Recorder("127.0.0.1", b.port, release="1.0.0.1") as rb:
        threads = [threading.Thread(target=consume, args=(ra, "a")), threading.Thread(target=consume, args=(rb, "b"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
    assert len(results["a"]) == len(results["b"]) == 20
    assert all(p[:2] == b"KV" and p[16] != 0xB7 for p in results["a"])
    assert all(p[:2] == b"KV" and p[16] == 0xB7 for p in results["b"])
    assert results["a-events"] == [ra.name] * 3 and results["b-events"] == [rb.name] * 3
