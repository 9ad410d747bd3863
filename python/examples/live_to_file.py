#!/usr/bin/env python3
"""Record live video of a channel into a file until a time, a frame count or
Ctrl-C.

    python3 live_to_file.py 127.0.0.1 5050 --channel 0 --seconds 10 -o live.raw

The file holds the frames' payloads one after another (``--strip 4`` removes
kestrel-recorder's wrapper and leaves an H.264 stream that ffplay plays).
"""

from __future__ import annotations

import argparse
import sys
import time

import kestrelnet


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("--channel", type=int, default=0)
    ap.add_argument("--transport", choices=["tcp", "udp"], default="tcp")
    ap.add_argument("--user", default="admin")
    ap.add_argument("--password", default="")
    ap.add_argument("--seconds", type=float, help="stop after this long")
    ap.add_argument("--frames", type=int, help="stop after this many frames")
    ap.add_argument("--strip", type=int, default=0, help="bytes to drop from the front of each payload")
    ap.add_argument("-o", "--output", required=True)
    args = ap.parse_args()

    frames = dropped = 0
    began = time.monotonic()
    try:
        with kestrelnet.Recorder(args.host, args.port, args.user, args.password) as rec, \
                open(args.output, "wb") as out:
            live = rec.live(args.channel, args.transport, idle_timeout=5)
            for frame in live:
                out.write(frame.payload[args.strip:])
                frames += 1
                if args.frames and frames >= args.frames:
                    break
                if args.seconds and time.monotonic() - began >= args.seconds:
                    break
            dropped = live.dropped
    except KeyboardInterrupt:
        print(f"interrupted after {frames} frames", file=sys.stderr)
    except kestrelnet.Error as e:
        print(f"live: {e} (after {frames} frames)", file=sys.stderr)
        return 1
    print(f"{args.output}: {frames} frames in {time.monotonic() - began:.1f} s, {dropped} dropped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
