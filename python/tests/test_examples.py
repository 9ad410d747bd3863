"""The examples run against kestrel-recorder."""

from __future__ import annotations

import time
from pathlib import Path

from conftest import run_python

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def example(name: str, *args: object, timeout: float = 60):  # type: ignore[no-untyped-def]
    return run_python([str(EXAMPLES / name), *map(str, args)], timeout)


def test_export_last_hour(start_recorder, tmp_path: Path) -> None:
    rec = start_recorder("--download-cap", "1")
    # The recorder ends the download of 08:00:00-08:09:59 after 1 s: what
    # came stays in NAME.part, and the export says so and fails (7).
    short = example("export_last_hour.py", "127.0.0.1", rec.port, "--channel", 1, "--until", "2024-05-01 08:30",
                    "--strip", 4, "-o", tmp_path)
    assert short.returncode == 7, short.stderr
    out = tmp_path / "ch1-20240501-080000.raw"
    part = tmp_path / "ch1-20240501-080000.raw.part"
    assert not out.exists()
    assert "after 1 s of the 599 s asked (25 of 14975 pictures at 25 a second" in short.stderr
    assert f"{part}: incomplete" in short.stderr and "1 of 1 downloads incomplete" in short.stderr
    kept = part.read_bytes()
    assert kept.count(b"\x00\x00\x00\x01\x09") == 25  # access unit delimiters
    # A span the recorder sends whole is renamed to its name.
    whole = example("export_last_hour.py", "127.0.0.1", rec.port, "--channel", 1, "--until", "2024-05-01 08:00:01",
                    "--minutes", 1, "--strip", 4, "-o", tmp_path)
    assert whole.returncode == 0, whole.stderr
    assert f"{out}: 08:00:00-08:00:01, 25 frames, {out.stat().st_size} bytes" in whole.stdout
    assert out.read_bytes() == kept and not part.exists()
    nothing = example("export_last_hour.py", "127.0.0.1", rec.port, "--until", "2024-05-01 03:00", "-o", tmp_path)
    assert nothing.returncode == 0 and "nothing recorded" in nothing.stdout


def test_live_to_file(recorder, tmp_path: Path) -> None:
    out = tmp_path / "live.h264"
    done = example("live_to_file.py", "127.0.0.1", recorder.port, "--frames", 10, "--strip", 4, "-o", out)
    assert done.returncode == 0, done.stderr
    assert f"{out}: 10 frames" in done.stdout
    assert out.read_bytes().count(b"\x00\x00\x00\x01\x09") == 10
    recorder.wait_for("stop live channel 0")


def test_search_a_week(recorder) -> None:
    done = example("search_a_week.py", "127.0.0.1", recorder.port, "--channels", 0, 1, "--from", "2024-05-01")
    assert done.returncode == 0, done.stderr
    assert "84 recordings from 2024-05-01 to 2024-05-07, 13:58:36 in all" in done.stdout
    assert "channel 1  2024-05-07 20:00:00 - 20:09:59  (0:09:59, value 262)" in done.stdout


def test_watch_the_recorders(start_recorder) -> None:
    a = start_recorder("--message-every", "300")
    b = start_recorder()
    import subprocess
    import sys

    watcher = subprocess.Popen([sys.executable, str(EXAMPLES / "watch_the_recorders.py"), f"127.0.0.1:{a.port}",
                                f"127.0.0.1:{b.port}", "--duration", "5", "--retry", "0.5"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        b.wait_for("command: login", 10)
        time.sleep(1)
        b.kill()
        out, err = watcher.communicate(timeout=30)
    finally:
        watcher.kill()
    assert watcher.returncode == 0, err
    assert f"127.0.0.1:{a.port} up" in out and f"127.0.0.1:{b.port} up" in out
    assert f"127.0.0.1:{b.port} down" in out
    assert f"127.0.0.1:{a.port} message 01 00 00 00 01 00 02 00 03 00 00 00" in out
    assert out.rstrip().endswith("done")
