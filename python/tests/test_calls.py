"""Every call of the package against kestrel-recorder, in both releases."""

from __future__ import annotations

import datetime as dt
import io
import os
import socket
import struct
import time

import pytest

import kestrelnet as kn

DAY = dt.date(2024, 5, 1)


def test_decoder_header_of_both_releases(release: str) -> None:
    header = kn.decoder_header(release)
    assert len(header) == 64
    magic, size, codec, rate, one, width, height, two = struct.unpack_from("<8sI4sIIIII", header)
    assert (magic, size, codec, rate, one, width, height, two) == (b"KRVIDHDR", 64, b"264\0", 25, 1, 352, 288, 2)
    assert header[36:] == bytes(28)
    assert kn.decoder_header(release) == header


def test_both_releases_load_as_separate_libraries() -> None:
    assert kn.library_file("1.0.0.13") != kn.library_file("1.0.0.1")
    with pytest.raises(ValueError):
        kn.library_path("2.0")


def test_every_call(recorder, release: str) -> None:
    with kn.Recorder("127.0.0.1", recorder.port, "admin", "secret", timeout=2.0, release=release) as rec:
        assert rec.release == release
        assert rec.login_result == (4 if release == "1.0.0.1" else 1)

        # Search: six recordings a day; a week is one request per day.
        day = rec.search(2, DAY)
        assert [(r.start, r.end, r.value) for r in day] == [
            (dt.datetime(2024, 5, 1, h), dt.datetime(2024, 5, 1, h, 9, 59), 2 * 256 + n + 1)
            for n, h in enumerate(range(0, 24, 4))]
        assert all(r.channel == 2 and r.duration == dt.timedelta(minutes=9, seconds=59) for r in day)
        week = rec.search(0, DAY, DAY + dt.timedelta(days=6))
        assert len(week) == 42 and week[-1].start == dt.datetime(2024, 5, 7, 20)

        # Parameters: the emulator keeps what was written under its code.
        rec.set_param(100, b"\x01\x02\x03")
        assert rec.get_param(100, 3) == b"\x01\x02\x03"
        if release == "1.0.0.13":
            assert rec.get_param(100, 5) == b"\x01\x02\x03\x00\x00"  # shorter reply: zeros follow

        # Talk: bytes, a file name and a file object, sent unchanged.
        assert rec.talk(b"\x11" * 1000, rate=None) == 1000
        assert rec.talk(io.BytesIO(b"\x22" * 500), rate=None) == 500
        recorder.wait_for(r"closed \(talk, 1000 audio bytes\)")
        recorder.wait_for(r"closed \(talk, 500 audio bytes\)")

        # Live over TCP and UDP: pictures with the library's prefix.
        for transport, channel in (("tcp", 0), ("udp", 1)):
            with rec.live(channel, transport, idle_timeout=5) as live:
                frames = [next(live) for _ in range(5)]
            assert [f.type for f in frames] == [2] * 5
            numbers = [f.picture_number for f in frames]
            assert numbers == list(range(numbers[0], numbers[0] + 5))
            assert all(f.data[:4] == b"00dc" and f.payload[:2] == b"KV" for f in frames)
            assert all(struct.unpack_from("<I", f.data, 12)[0] == len(f.payload) for f in frames)
            assert frames[0].time <= frames[-1].time <= time.time()
            recorder.wait_for(rf"stop live channel {channel}")

        # Download: every frame between the two times, none lost.
        start = dt.datetime(2024, 5, 1, 8, 0, 0)
        got = list(rec.download(0, start, start + dt.timedelta(seconds=2), idle_timeout=5))
        assert [f.picture_number for f in got] == list(range(50))

        # Playback and its controls, then the end of the recording.
        with rec.playback(0, dt.datetime(2024, 5, 1, 8, 9, 58), idle_timeout=5) as play:
            next(play)
            play.pause()
            recorder.wait_for(r"playback control operation 0 ")
            play.step()
            play.control(0x1234)  # any other code is sent as operation 0: pause
            play.faster(0)
            play.slower(3)
            play.resume()
            rest = list(play)
        for op in (4, 1, 3, 2, 0):
            recorder.wait_for(rf"playback control operation {op} ")
        assert recorder.count(r"playback control") == 6
        assert rest and rest[-1].picture_number <= 49
        with pytest.raises(kn.Error):
            play.pause()  # stopped
    recorder.wait_for(r"command: logout")
    with pytest.raises(kn.Error):
        rec.search(0, DAY)


def test_playback_where_nothing_is_recorded_ends_at_once(recorder) -> None:
    with kn.Recorder("127.0.0.1", recorder.port) as rec:
        assert list(rec.playback(0, dt.datetime(2024, 5, 1, 3, 0, 0), idle_timeout=5)) == []


@pytest.mark.parametrize("args, error", [
    (["--refuse-login"], kn.LoginRefused),
    (["--silent"], kn.Timeout),
])
def test_login_failures(start_recorder, release: str, args, error) -> None:
    rec = start_recorder(*args)
    began = time.monotonic()
    with pytest.raises(error) as caught:
        kn.Recorder("127.0.0.1", rec.port, "admin", "x", timeout=1.0, release=release)
    assert isinstance(caught.value, kn.Error)
    assert time.monotonic() - began < 5
    assert str(rec.port) in str(caught.value)


def test_unreachable(release: str) -> None:
    with pytest.raises(kn.Unreachable):
        kn.Recorder("no-such-recorder.invalid", 5050, release=release)
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(kn.Unreachable):
        kn.Recorder("127.0.0.1", port, timeout=1.0, release=release)


def test_requests_that_fail(start_recorder) -> None:
    recorder = start_recorder("--channels", "1")
    with kn.Recorder("127.0.0.1", recorder.port, timeout=1.0) as rec:
        with pytest.raises(kn.RequestFailed):
            rec.get_param(1, 4)  # not a code of the library's table: refused at once
        with pytest.raises(ValueError):
            rec.set_param(100, bytes(90))
        with pytest.raises(ValueError):
            rec.download(0, dt.datetime(2024, 5, 1, 23), dt.datetime(2024, 5, 2, 1))
        with pytest.raises(ValueError):
            rec.live(0, "sctp")
        with pytest.raises(ValueError):
            rec.search(0, DAY, DAY - dt.timedelta(days=1))
        # The library would hand this session over to a second login.
        with pytest.raises(kn.Error, match="already logged in"):
            kn.Recorder("127.0.0.1", recorder.port)
        with rec.live(0):
            with pytest.raises(kn.Error, match="already live"):
                rec.live(0)
        # A channel the recorder does not have: acknowledged, then closed.
        with pytest.raises(kn.StreamLost):
            list(rec.live(3, idle_timeout=5))
    with pytest.raises(ValueError):
        kn.Recorder("127.0.0.1", recorder.port, timeout=0.5, release="1.0.0.1")


def test_which_library_file_is_loaded(monkeypatch, tmp_path) -> None:
    for name in ("KESTRELNET_LIBRARY", "KESTRELNET_LIBRARY_1001"):
        monkeypatch.delenv(name, raising=False)
    packaged = kn.library_path()
    monkeypatch.setenv("KESTRELNET_LIBRARY", "/opt/x/libkestrelnet.so.1")
    monkeypatch.setenv("KESTRELNET_LIBRARY_1001", "/opt/y/libkestrelnet.so.1")
    assert (kn.library_path(), kn.library_path("1.0.0.1")) == ("/opt/x/libkestrelnet.so.1", "/opt/y/libkestrelnet.so.1")
    # "system": the loader's search for 1.0.0.13, the installed release folder for 1.0.0.1.
    monkeypatch.setenv("KESTRELNET_LIBRARY", "system")
    monkeypatch.delenv("KESTRELNET_LIBRARY_1001")
    assert kn.library_path() == "libkestrelnet.so.1"
    installed = tmp_path / "kestrelnet" / "1.0.0.1" / "libkestrelnet.so.1"
    installed.parent.mkdir(parents=True)
    installed.write_bytes(b"")
    monkeypatch.setenv("LD_LIBRARY_PATH", str(tmp_path))
    assert kn.library_path("1.0.0.1") == str(installed)
    monkeypatch.setenv("LD_LIBRARY_PATH", str(tmp_path / "nothing"))
    if not any(os.path.exists(f"{d}/kestrelnet/1.0.0.1/libkestrelnet.so.1")
               for d in ("/usr/local/lib", "/usr/lib", "/usr/lib/x86_64-linux-gnu")):
        with pytest.raises(kn.LibraryNotFound):
            kn.library_path("1.0.0.1")
    monkeypatch.delenv("KESTRELNET_LIBRARY")
    assert kn.library_path() == packaged
