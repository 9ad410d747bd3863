#!/usr/bin/env python3
"""Watch several recorders at once and report which dropped off the network
and when they came back, with their recorder messages; asyncio, one task per
recorder.

    python3 watch_the_recorders.py 127.0.0.1:5050 127.0.0.1:5051 --duration 60

A recorder counts as down when the library's disconnect notice comes (or the
login fails); the watcher then tries a new login every --retry seconds.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from typing import Optional

import kestrelnet


def say(text: str) -> None:
    print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)


async def watch(address: str, args: argparse.Namespace) -> None:
    host, _, port = address.rpartition(":")
    up: Optional[bool] = None
    while True:
        try:
            rec = await asyncio.to_thread(kestrelnet.Recorder, host, int(port), args.user, args.password,
                                          timeout=2.0)
        except kestrelnet.Error as e:
            if up is not False:
                say(f"{address} down ({e})")
            up = False
            await asyncio.sleep(args.retry)
            continue
        with rec:
            say(f"{address} up")
            up = True
            async for event in rec.events():
                if isinstance(event, kestrelnet.Disconnected):
                    say(f"{address} down (disconnect notice)")
                    up = False
                    break
                say(f"{address} message {event.data.hex(' ')}")
        await asyncio.sleep(args.retry)


async def main_async(args: argparse.Namespace) -> None:
    tasks = [asyncio.ensure_future(watch(a, args)) for a in args.recorders]
    try:
        await asyncio.wait_for(asyncio.gather(*tasks), args.duration)
    except asyncio.TimeoutError:
        pass


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("recorders", nargs="+", metavar="HOST:PORT")
    ap.add_argument("--user", default="admin")
    ap.add_argument("--password", default="")
    ap.add_argument("--retry", type=float, default=2.0, help="seconds between logins to a recorder that is down")
    ap.add_argument("--duration", type=float, default=None, help="stop after this long (default: Ctrl-C)")
    args = ap.parse_args()
    try:
        asyncio.run(main_async(args))
    except KeyboardInterrupt:
        pass
    say("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
