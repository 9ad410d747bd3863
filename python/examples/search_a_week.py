#!/usr/bin/env python3
"""List a week of recordings of one or more channels.

    python3 search_a_week.py 127.0.0.1 5050 --channels 0 1 --from 2024-05-01
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys

import kestrelnet


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("--channels", type=int, nargs="+", default=[0])
    ap.add_argument("--user", default="admin")
    ap.add_argument("--password", default="")
    ap.add_argument("--from", dest="first", type=dt.date.fromisoformat,
                    default=dt.date.today() - dt.timedelta(days=6), help="first day (default: a week ago)")
    ap.add_argument("--days", type=int, default=7)
    args = ap.parse_args()

    last = args.first + dt.timedelta(days=args.days - 1)
    try:
        with kestrelnet.Recorder(args.host, args.port, args.user, args.password) as rec:
            total = dt.timedelta()
            count = 0
            for channel in args.channels:
                for r in rec.search(channel, args.first, last):
                    print(f"channel {r.channel}  {r.start:%Y-%m-%d %H:%M:%S} - {r.end:%H:%M:%S}  "
                          f"({r.duration}, value {r.value})")
                    total += r.duration
                    count += 1
    except kestrelnet.Error as e:
        print(f"search: {e}", file=sys.stderr)
        return 1
    print(f"{count} recordings from {args.first} to {last}, {total} in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
