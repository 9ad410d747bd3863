#!/usr/bin/env bash
# Drift between the wall clock and RTP time through kestrel gateway from a
# 30 frames-a-second recorder: ffprobe reads one channel for SECONDS
# (default 3600: an hour), each packet's presentation time is set beside the
# moment it was read, and the difference of the two spans at the end is the
# drift (0 when live video keeps its true pace). A long check: run by hand,
# never in CI. Loopback only. Usage: bench/drift_30fps.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build="${1:-build/default}"
seconds="${2:-3600}"
tools="$build/tools"
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$(dirname "$0")/lib.sh"
bench_setup kestrel-drift

"$tools/kestrel-recorder" --port 0 --clip "$here/tools/testing/clip/sample30.h264" --fps 30 >"$work/rec.out" \
    2>"$work/rec.log" &
pids+=("$!")
wait_for "$work/rec.log" 'listening on'
rport=$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/rec.log" | head -1 | cut -d: -f2)
"$tools/kestrel" gateway -p "$rport" --listen 127.0.0.1:0 >"$work/gw.out" 2>"$work/gw.log" &
pids+=("$!")
wait_for "$work/gw.log" 'serving rtsp'
gport=$(grep -oE 'rtsp://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)

# ffprobe prints the packets it read while probing the stream all at once,
# so the first seconds say nothing of the pace: the measure starts after
# them. A line carries more than the time when a packet has side data.
settle=5
set +o pipefail  # ffprobe ends on a broken pipe once the reader has enough
echo "machine: $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg); reading for $seconds s after $settle s"
timeout --signal=INT "$((seconds + settle + 15))" stdbuf -oL ffprobe -v error -rtsp_transport tcp \
    -show_entries packet=pts_time -of csv=p=0 "rtsp://127.0.0.1:$gport/live/0" 2>"$work/probe.err" |
    python3 -c '
import sys, time
limit, settle = float(sys.argv[1]), float(sys.argv[2])
start = time.monotonic()
ref = last = None
n = 0
report_every = 300.0
next_report = report_every
for line in sys.stdin:
    now = time.monotonic()
    try:
        pts = float(line.strip().split(",")[0])
    except ValueError:
        continue
    if now - start < settle:
        continue
    if ref is None:
        ref = (now, pts)
    last = (now, pts)
    n += 1
    wall = now - ref[0]
    if wall >= next_report:
        print("%6.0f s: RTP time - wall clock %+.3f s" % (wall, (pts - ref[1]) - wall), flush=True)
        next_report += report_every
    if wall >= limit:
        break
if last is None:
    sys.exit("no packet came after the first %.0f s (%s)" % (settle, open(sys.argv[3]).read().strip()))
wall = last[0] - ref[0]
rtp = last[1] - ref[1]
print("packets %d over %.1f s of wall clock: %.3f frames a second" % (n, wall, (n - 1) / wall if wall > 0 else 0))
print("RTP time span %.3f s, wall clock span %.3f s: drift %+.3f s (%+.4f %%)" % (rtp, wall, rtp - wall, 100 * (rtp - wall) / wall if wall > 0 else 0))
' "$seconds" "$settle" "$work/probe.err"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
