#!/usr/bin/env bash
# Time from ffmpeg's start to its first decoded picture, through kestrel
# gateway, beside the same for a local file (the baseline of the same run),
# with ffmpeg's default probing (it reads about 20 frames of a stream before
# it decodes one):
#  - local file: tools/testing/clip/sample.h264 read from disk;
#  - cold: a channel whose recorder stream is closed (the gateway opens it);
#  - warm: a channel another client keeps open (the joiner gets the cached
#    group of pictures);
#  - preloaded: a channel kept open by the site file's preload, no client.
# Each figure is the median of RUNS runs (default 7), in milliseconds.
# Loopback only. Usage: bench/first_frame.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build="${1:-build/default}"
runs="${2:-7}"
tools="$build/tools"
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$(dirname "$0")/lib.sh"
bench_setup kestrel-first-frame
# Milliseconds from ffmpeg's start until it hands out its first decoded
# picture (the first byte of it as raw video on its standard output): the
# same measure for a file and a stream, without ffmpeg's ending (an RTSP
# client's TEARDOWN, closing) in it.
first_frame_ms() {  # input args...
    python3 -c '
import subprocess, sys, time
t0 = time.monotonic()
p = subprocess.Popen(["ffmpeg", "-v", "error", *sys.argv[1:], "-frames:v", "1", "-f", "rawvideo", "-"],
                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
got = p.stdout.read(1)
ms = (time.monotonic() - t0) * 1000
p.stdout.close()
p.wait()
print(round(ms) if got else "failed")
' "$@"
}
measure() {  # label command...
    local label="$1"; shift
    local all=()
    for _ in $(seq "$runs"); do all+=("$("$@")"); done
    printf '%-34s %6s ms   (runs: %s)\n' "$label" "$(printf '%s\n' "${all[@]}" | median)" "${all[*]}"
}

"$tools/kestrel-recorder" --port 0 --channels 8 >"$work/rec.out" 2>"$work/rec.log" &
pids+=("$!")
wait_for "$work/rec.log" 'listening on'
rport=$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/rec.log" | head -1 | cut -d: -f2)
cat >"$work/site.yaml" <<YAML
listen: 127.0.0.1:0
recorders:
  - name: site
    address: 127.0.0.1
    port: $rport
    channels: 8
    linger: 0.5
    preload: [3]
YAML
"$tools/kestrel" gateway --config "$work/site.yaml" >"$work/gw.out" 2>"$work/gw.log" &
pids+=("$!")
wait_for "$work/gw.log" 'serving rtsp'
gport=$(grep -oE 'rtsp://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)
wait_for "$work/gw.log" 'channel 3: stream opened'
url() { echo "rtsp://127.0.0.1:$gport/site/$1"; }

# Cold: the stream is closed again (linger 0.5 s) before each run.
cold() {
    sleep 1.5
    first_frame_ms -rtsp_transport tcp -i "$(url 1)"
}
# Warm: another client keeps channel 2 open throughout.
ffmpeg -v error -rtsp_transport tcp -i "$(url 2)" -c copy -f null - </dev/null >/dev/null 2>&1 &
pids+=("$!")
wait_for "$work/gw.log" 'channel 2: stream opened'
sleep 2

echo "machine: $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg); $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
measure "local file (baseline)" first_frame_ms -i "$here/tools/testing/clip/sample.h264"
measure "warm (open channel, cached group)" first_frame_ms -rtsp_transport tcp -i "$(url 2)"
measure "preloaded (no other client)" first_frame_ms -rtsp_transport tcp -i "$(url 3)"
measure "cold (stream closed)" cold
measure "local file (baseline, again)" first_frame_ms -i "$here/tools/testing/clip/sample.h264"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
