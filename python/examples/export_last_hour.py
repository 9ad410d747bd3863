#!/usr/bin/env python3
"""Export the last hour of a recorder channel: search the recordings that
overlap the hour, download each overlap, and write one file per recording.

    python3 export_last_hour.py 127.0.0.1 5050 --channel 0 --until "2024-05-01 08:30" -o export/

Each file holds the frames' payloads one after another (for kestrel-recorder,
``--strip 4`` removes its 4-byte wrapper and leaves an H.264 stream). A file
is written as NAME.part and renamed to NAME once its download came whole; a
download that the recorder ended early (a recorder that caps downloads) is
kept as NAME.part, and the export goes on with the next one and exits with
status 7 at the end. Exit status: 0 all exported, 1 a failure, 7 incomplete.
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from pathlib import Path

import kestrelnet

EXIT_FAILURE = 1
EXIT_INCOMPLETE = 7  # as `kestrel download`


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("--channel", type=int, default=0)
    ap.add_argument("--user", default="admin")
    ap.add_argument("--password", default="")
    ap.add_argument("--until", type=dt.datetime.fromisoformat, default=dt.datetime.now().replace(microsecond=0),
                    help="end of the hour (default: now)")
    ap.add_argument("--minutes", type=int, default=60, help="how far back (default 60)")
    ap.add_argument("--fps", type=float, default=25.0,
                    help="the recordings' frames a second, by which a download is judged whole (default 25)")
    ap.add_argument("--strip", type=int, default=0, help="bytes to drop from the front of each payload")
    ap.add_argument("-o", "--output", type=Path, default=Path("."))
    args = ap.parse_args()

    end = args.until
    begin = end - dt.timedelta(minutes=args.minutes)
    args.output.mkdir(parents=True, exist_ok=True)
    short = 0
    try:
        with kestrelnet.Recorder(args.host, args.port, args.user, args.password) as rec:
            records = rec.search(args.channel, begin.date(), end.date())
            pieces = []
            for r in records:
                start, stop = max(r.start, begin), min(r.end, end)
                # A download lies within one day.
                while start < stop:
                    day_end = min(stop, dt.datetime.combine(start.date(), dt.time(23, 59, 59)))
                    pieces.append((start, day_end))
                    start = dt.datetime.combine(start.date() + dt.timedelta(days=1), dt.time())
            if not pieces:
                print(f"nothing recorded on channel {args.channel} between {begin} and {end}")
                return 0
            for start, stop in pieces:
                path = args.output / f"ch{args.channel}-{start:%Y%m%d-%H%M%S}.raw"
                part = path.with_name(path.name + ".part")
                size = 0
                download = rec.download(args.channel, start, stop, idle_timeout=30, fps=args.fps)
                with open(part, "wb") as out, download:
                    try:
                        for frame in download:
                            data = frame.payload[args.strip:]
                            out.write(data)
                            size += len(data)
                    except kestrelnet.Incomplete as e:
                        short += 1
                        print(f"export: {part}: incomplete, kept as .part: {e}; {size} bytes", file=sys.stderr)
                        continue
                part.replace(path)
                print(f"{path}: {start:%H:%M:%S}-{stop:%H:%M:%S}, {download.frames} frames, {size} bytes")
    except kestrelnet.Error as e:
        print(f"export: {e}", file=sys.stderr)
        return EXIT_FAILURE
    except OSError as e:
        print(f"export: {e}", file=sys.stderr)
        return EXIT_FAILURE
    if short:
        print(f"export: {short} of {len(pieces)} downloads incomplete", file=sys.stderr)
        return EXIT_INCOMPLETE
    return 0


if __name__ == "__main__":
    sys.exit(main())
