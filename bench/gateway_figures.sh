#!/usr/bin/env bash
# Figures for kestrel gateway, measured on this machine in one run:
#  - CPU and memory of the gateway serving 8 channels to 2 clients each
#    (ffmpeg copying to null), beside the same gateway idle and beside the
#    recorder emulator that feeds it (the baseline of the same run);
#  - request to first decoded frame, for a channel whose recorder stream is
#    closed (cold) and for one already open (warm);
#  - reconnection: from the gateway noticing a dropped stream to the stream
#    reopened and to the first frame after it.
# Loopback only. Usage: bench/gateway_figures.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build="${1:-build/default}"
seconds="${2:-20}"
tools="$build/tools"
source "$(dirname "$0")/lib.sh"
bench_setup kestrel-gateway-figures
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

start_pair() {  # extra recorder args...
    "$tools/kestrel-recorder" --port 0 --channels 8 "$@" >"$work/rec.out" 2>"$work/rec.log" &
    rec=$!; pids+=("$rec")
    wait_for "$work/rec.log" 'listening on'
    rport=$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/rec.log" | head -1 | cut -d: -f2)
    "$tools/kestrel" gateway -p "$rport" --listen 127.0.0.1:0 --channels 8 --stats 5 --linger 2 \
        >"$work/gw.out" 2>"$work/gw.log" &
    gw=$!; pids+=("$gw")
    wait_for "$work/gw.log" 'serving rtsp'
    gport=$(grep -oE 'rtsp://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)
    wait_for "$work/gw.log" 'logged in'
}

first_frame_ms() {  # channel
    local t0 t1
    t0=$(date +%s%N)
    ffmpeg -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:$gport/live/$1" -frames:v 1 -f null - 2>/dev/null
    t1=$(date +%s%N)
    echo $(( (t1 - t0) / 1000000 ))
}

echo "machine: $(nproc) CPUs, $(awk '/MemTotal/ {print int($2/1024)}' /proc/meminfo) MiB; load $(cut -d' ' -f1-3 /proc/loadavg)"
start_pair

# Idle gateway, logged in, no clients.
c0=$(cpu_ticks "$gw"); sleep 5; c1=$(cpu_ticks "$gw")
echo "idle: gateway CPU $(awk -v d=$((c1 - c0)) -v hz="$hz" 'BEGIN {printf "%.2f", 100 * d / hz / 5}') %, RSS $(rss_kib "$gw") KiB"

# Request to first decoded frame, beside ffmpeg's own start on a local file.
t0=$(date +%s%N)
ffmpeg -v error -i "$(dirname "$0")/../tools/testing/clip/sample.h264" -frames:v 1 -f null - 2>/dev/null
t1=$(date +%s%N)
echo "baseline: ffmpeg to its first decoded frame of the local clip: $(( (t1 - t0) / 1000000 )) ms"
cold=(); warm=()
for ch in 0 1 2 3 4; do cold+=("$(first_frame_ms "$ch")"); done
for ch in 0 1 2 3 4; do warm+=("$(first_frame_ms "$ch")"); done  # within the linger: stream open
echo "request to first decoded frame, cold (stream opened for it) ms: ${cold[*]}"
echo "request to first decoded frame, warm (stream already open) ms: ${warm[*]}"
sleep 3  # past the linger

# 8 channels x 2 clients.
clients=()
for ch in 0 1 2 3 4 5 6 7; do
    for n in 1 2; do
        ffmpeg -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:$gport/live/$ch" -c copy -f null - \
            >/dev/null 2>"$work/client-$ch-$n.err" &
        clients+=($!); pids+=($!)
    done
done
sleep 5
g0=$(cpu_ticks "$gw"); r0=$(cpu_ticks "$rec")
sleep "$seconds"
g1=$(cpu_ticks "$gw"); r1=$(cpu_ticks "$rec")
echo "8 channels x 2 clients over ${seconds} s: gateway CPU $(awk -v d=$((g1 - g0)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.1f", 100 * d / hz / s}') % of one core, RSS $(rss_kib "$gw") KiB, threads $(ls /proc/$gw/task | wc -l); recorder emulator (baseline) CPU $(awk -v d=$((r1 - r0)) -v hz="$hz" -v s="$seconds" 'BEGIN {printf "%.1f", 100 * d / hz / s}') %"
grep -E 'stats channel [0-7]' "$work/gw.log" | tail -8
for c in "${clients[@]}"; do kill -INT "$c" 2>/dev/null || true; done
for c in "${clients[@]}"; do wait "$c" 2>/dev/null || true; done
kill -INT "$gw" "$rec"; wait "$gw" "$rec" 2>/dev/null || true
pids=()

# Reconnection after the emulator drops a live stream.
start_pair --drop-live-after 50
ffmpeg -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:$gport/live/0" -t 6 -c copy -f null - 2>/dev/null
lost=$(grep -m1 'channel 0: stream lost' "$work/gw.log" | cut -c12-23)
reopened=$(grep -m1 'channel 0: stream reopened' "$work/gw.log" | cut -c12-23)
dropped=$(grep -m1 'dropping the live connection' "$work/rec.log" | cut -c1-12)
second=$(grep 'live channel 0 requested' "$work/rec.log" | sed -n 2p | cut -c1-12)
echo "reconnection: recorder dropped $dropped, gateway noticed $lost, asked again $second, reopened $reopened (UTC vs local clock of the emulator log: same machine)"
grep -E 'channel 0: (stream|reopening)|logging in again|logged in again' "$work/gw.log"
