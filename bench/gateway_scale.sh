#!/usr/bin/env bash
# What kestrel gateway costs serving a site, on this machine, loopback only.
#
#   bench/gateway_scale.sh [long] BUILD_DIR [BUILD_DIR ...]
#
# RECORDERS emulators x CHANNELS channels, each serving the same 1.5 Mbit/s
# 704x576 H.264 stream at 25 frames a second without B-frames (made here
# with ffmpeg's libx264 from its test pattern), behind one gateway with every
# channel preloaded. Phases of PHASE seconds each (default 30):
#   idle     no viewer
#   rtsp x1  one RTSP viewer per channel
#   rtsp x2  two RTSP viewers per channel
#   web      WEB viewers of the live MP4 stream (curl), spread over the site
# The viewers of a phase are one GStreamer process of rtspsrc readers
# (depayloaded, not decoded). Each phase prints the gateway's CPU (% of one
# core), RSS, threads and descriptors beside the emulators' CPU over the
# same time, and, in the rtsp x1 phase, the frames one ffmpeg viewer of the
# same channel receives in 10 s.
#
# With several build directories (the gateway of each, the emulators of the
# first), the whole run is made for each in turn on the same emulators: a
# before and after in one run. `long` is the larger site: 16 recorders x 8
# channels x 4 viewers (RECORDERS, CHANNELS, VIEWERS, WEB and PHASE may be
# set in the environment either way).
set -euo pipefail
long=0
if [ "${1:-}" = long ]; then long=1; shift; fi
[ $# -ge 1 ] || { echo "usage: $0 [long] BUILD_DIR [BUILD_DIR ...]" >&2; exit 2; }
if [ "$long" = 1 ]; then
    recorders="${RECORDERS:-16}"; channels="${CHANNELS:-8}"; viewers="${VIEWERS:-4}"
else
    recorders="${RECORDERS:-8}"; channels="${CHANNELS:-8}"; viewers="${VIEWERS:-2}"
fi
web="${WEB:-16}"
phase="${PHASE:-30}"
for t in ffmpeg gst-launch-1.0 curl; do
    command -v "$t" >/dev/null || { echo "$t is needed" >&2; exit 77; }
done
builds=()
for b in "$@"; do builds+=("$(cd "$b" && pwd)"); done
source "$(dirname "$0")/lib.sh"
bench_setup kestrel-gateway-scale
hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
threads() { awk '/^Threads/ {print $2}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }
percent() { awk -v d="$1" -v hz="$hz" -v s="$2" 'BEGIN {printf "%.1f", 100 * d / hz / s}'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
wait_long() {  # file regex tenths
    for _ in $(seq "$3"); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for '$2' in $1" >&2; return 1
}

# The stream: 4 s of the test pattern with a little noise (so that it
# fills its 1.5 Mbit/s), a keyframe every second.
clip="$work/site.h264"
ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc=size=704x576:rate=25:duration=4,noise=alls=4:allf=t" \
    -c:v libx264 -preset veryfast -profile:v baseline -pix_fmt yuv420p -g 25 -bf 0 \
    -b:v 1500k -maxrate 1500k -bufsize 1500k -x264-params aud=1 -f h264 "$clip"
echo "machine: $(nproc) CPUs, $(awk '/MemTotal/ {print int($2/1024)}' /proc/meminfo) MiB, load $(load)"
echo "site: $recorders recorders x $channels channels of $(( $(stat -c %s "$clip") * 8 / 4000 )) kbit/s 704x576 at 25 fps; phases of $phase s"

emulators=()
ports=()
for i in $(seq 0 $((recorders - 1))); do
    "${builds[0]}/tools/kestrel-recorder" --port 0 --channels "$channels" --clip "$clip" \
        >"$work/r$i.out" 2>"$work/r$i.log" &
    pids+=($!); emulators+=($!)
done
for i in $(seq 0 $((recorders - 1))); do
    wait_for "$work/r$i.log" 'listening on'
    ports+=("$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/r$i.log" | head -1 | cut -d: -f2)")
done
{
    echo "listen: 127.0.0.1:0"
    echo "http: 127.0.0.1:0"
    echo "stats: 0"
    echo "recorders:"
    for i in $(seq 0 $((recorders - 1))); do
        echo "  - name: r$i"
        echo "    address: 127.0.0.1"
        echo "    port: ${ports[$i]}"
        echo "    channels: $channels"
        echo "    preload: all"
    done
} >"$work/site.yaml"

emulator_ticks() { local s=0 p; for p in "${emulators[@]}"; do s=$((s + $(cpu_ticks "$p"))); done; echo "$s"; }

measure() {  # label
    local g0 e0 g1 e1
    g0=$(cpu_ticks "$gw"); e0=$(emulator_ticks)
    sleep "$phase"
    g1=$(cpu_ticks "$gw"); e1=$(emulator_ticks)
    printf '  %-9s gateway CPU %5s %%, RSS %6s KiB, threads %4s, descriptors %4s; emulators CPU %5s %%\n' \
        "$1" "$(percent $((g1 - g0)) "$phase")" "$(rss_kib "$gw")" "$(threads "$gw")" "$(fds "$gw")" \
        "$(percent $((e1 - e0)) "$phase")"
}

rtsp_viewers() {  # per channel: one gst-launch with that many readers of every channel
    local args=() r ch n
    for r in $(seq 0 $((recorders - 1))); do
        for ch in $(seq 0 $((channels - 1))); do
            for n in $(seq "$1"); do
                args+=(rtspsrc "location=rtsp://127.0.0.1:$gport/r$r/$ch" protocols=tcp latency=0 !
                       rtph264depay ! fakesink sync=false)
            done
        done
    done
    gst-launch-1.0 -q "${args[@]}" >"$work/viewers.out" 2>"$work/viewers.err" &
    viewer=$!; pids+=("$viewer")
}

stop() {  # pid
    kill -INT "$1" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

joined() {  # clients: waits until the last channel counts them
    local last="r$((recorders - 1)): channel $((channels - 1)): client .* joined \($1 clients?\)"
    wait_long "$work/gw.log" "$last" 600 || true
    sleep 3
}

for build in "${builds[@]}"; do
    echo "$build (commit $(git -C "$(dirname "$0")" rev-parse --short HEAD 2>/dev/null || echo ?) of the script):"
    : >"$work/gw.log"
    "$build/tools/kestrel" gateway --config "$work/site.yaml" >"$work/gw.out" 2>"$work/gw.log" &
    gw=$!; pids+=("$gw")
    wait_for "$work/gw.log" 'listening on rtsp'
    gport=$(grep -oE 'rtsp://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)
    hport=$(grep -oE 'http://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)
    for i in $(seq 0 $((recorders - 1))); do wait_long "$work/gw.log" "r$i: logged in to" 300; done
    wait_long "$work/gw.log" "r$((recorders - 1)): channel $((channels - 1)): stream (opened|reopened)" 300 || true
    sleep 5
    measure idle
    rtsp_viewers 1
    joined 1
    measure "rtsp x1"
    frames=$(timeout 30 ffmpeg -nostdin -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:$gport/r0/0" \
        -t 10 -c copy -f framecrc - 2>/dev/null | grep -vc '^#' || true)
    echo "  one ffmpeg viewer beside them: $frames frames in 10 s (25 fps sent)"
    stop "$viewer"
    rtsp_viewers "$viewers"
    joined "$viewers"
    measure "rtsp x$viewers"
    stop "$viewer"
    sleep 3
    webs=()
    for n in $(seq 0 $((web - 1))); do
        curl -s -o /dev/null "http://127.0.0.1:$hport/r$((n % recorders))/$(((n / recorders) % channels)).mp4" &
        webs+=($!); pids+=($!)
    done
    sleep 5
    measure "web x$web"
    for p in "${webs[@]}"; do stop "$p"; done
    stop "$gw"
    echo "  load $(load)"
done
