#!/usr/bin/env python3
"""Frames a second and CPU of a Python consumer beside the C host `kestrel`,
in the same run against the same kestrel-recorder: one live stream at about
4 Mbit/s (a synthetic clip of 20000-byte pictures at 25 a second) and one
download at the recorder's full pace (200 frames a second).

    python3 python/bench/consumer_bench.py --tools build/default/tools [--seconds 10]

Each consumer runs as a child process; its CPU time is the child's user and
system time (wait4), against its wall time.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from conftest import make_clip  # noqa: E402

FRAME_BYTES = 20000  # x 25 a second x 8 = 4 Mbit/s

LIVE = r"""
import sys, time, kestrelnet
port, seconds, out = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
n = 0
with kestrelnet.Recorder("127.0.0.1", port) as rec, open(out, "wb") as f:
    live = rec.live(0, idle_timeout=5)
    first = next(live); f.write(first.payload)
    began = time.monotonic()
    for frame in live:
        f.write(frame.payload); n += 1
        if time.monotonic() - began >= seconds:
            break
    print("FRAMES", n, time.monotonic() - began, live.dropped)
"""

DOWNLOAD = r"""
import sys, time, datetime as dt, kestrelnet
port, out = int(sys.argv[1]), sys.argv[3]
start = dt.datetime(2024, 5, 1, 8, 0, 0)
with kestrelnet.Recorder("127.0.0.1", port) as rec, open(out, "wb") as f:
    began = time.monotonic(); n = 0
    for frame in rec.download(0, start, start + dt.timedelta(seconds=59), idle_timeout=10):
        f.write(frame.payload); n += 1
    print("FRAMES", n, time.monotonic() - began, 0)
"""


def run(cmd: list, env: dict) -> tuple:
    began = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - began
    out = proc.stdout.read() + proc.stderr.read()  # type: ignore[union-attr]
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{cmd[:3]} failed: {out}")
    return wall, usage.ru_utime + usage.ru_stime, out


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--tools", type=Path, required=True, help="folder with kestrel and kestrel-recorder")
    ap.add_argument("--seconds", type=float, default=10.0)
    args = ap.parse_args()
    env = dict(os.environ)
    with tempfile.TemporaryDirectory() as tmp:
        clip = make_clip(Path(tmp) / "4mbit.h264", FRAME_BYTES, 75, 0x42)
        rec = subprocess.Popen([str(args.tools / "kestrel-recorder"), "--port", "0", "--clip", str(clip)],
                               stderr=subprocess.PIPE, text=True)
        try:
            line = rec.stderr.readline()  # type: ignore[union-attr]
            port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", line).group(1))  # type: ignore[union-attr]
            out = str(Path(tmp) / "out")
            rows = []
            for name, cmd in [
                ("live 4 Mbit/s, Python", [sys.executable, "-c", LIVE, str(port), str(args.seconds), out]),
                ("live 4 Mbit/s, kestrel", [str(args.tools / "kestrel"), "live", "-p", str(port), "-c", "0",
                                            "--duration", str(args.seconds), "-o", out + ".k"]),
                ("download 59 s, Python", [sys.executable, "-c", DOWNLOAD, str(port), "0", out]),
                ("download 59 s, kestrel", [str(args.tools / "kestrel"), "download", "-p", str(port), "-c", "0",
                                            "--start", "2024-05-01 08:00:00", "--end", "2024-05-01 08:00:59",
                                            "-o", out + ".k"]),
            ]:
                wall, cpu, text = run(cmd, env)
                m = re.search(r"FRAMES (\d+) ([\d.]+) (\d+)", text)
                if m:
                    frames, seconds, dropped = int(m.group(1)), float(m.group(2)), int(m.group(3))
                else:  # kestrel: frames from the file the recorder's frames went to
                    frames, seconds, dropped = -1, wall, 0
                rows.append((name, frames, seconds, wall, cpu, dropped))
            for f in (out, out + ".k"):
                if os.path.exists(f):
                    os.unlink(f)
        finally:
            rec.terminate()
            log = rec.communicate(timeout=10)[1]
    sent = [int(x) for x in re.findall(r"(\d+) frames sent", log)]
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    print(f"{'run':26} {'frames':>7} {'frames/s':>9} {'wall s':>7} {'CPU s':>6} {'CPU %':>6} dropped")
    for i, (name, frames, seconds, wall, cpu, dropped) in enumerate(rows):
        if frames < 0 and i < len(sent):
            frames = sent[i]  # what the recorder sent to kestrel
        print(f"{name:26} {frames:7d} {frames / seconds:9.1f} {wall:7.2f} {cpu:6.2f} {100 * cpu / wall:6.1f} {dropped}")
    print("recorder log: frames sent per stream:", sent)
    return 0


if __name__ == "__main__":
    sys.exit(main())
