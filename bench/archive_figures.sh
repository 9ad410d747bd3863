#!/usr/bin/env bash
# A clip through kestrel gateway beside kestrel download of the same stretch,
# in the same run, against kestrel-recorder (which sends a download at 200
# frames a second): for each length, the median over RUNS runs (default 5)
# of the time from the request to the clip's first byte and to its end
# (curl), and of kestrel download writing the same stretch to an MP4 file
# (its whole run: login, download, file finished, logout).
# Loopback only. Usage: bench/archive_figures.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build="${1:-build/default}"
runs="${2:-5}"
tools="$build/tools"
source "$(dirname "$0")/lib.sh"
bench_setup kestrel-archive-figures

"$tools/kestrel-recorder" --port 0 --channels 4 2>"$work/recorder.log" >/dev/null &
pids+=($!)
wait_for "$work/recorder.log" 'listening on 127\.0\.0\.1:[0-9]+'
port=$(grep -oE 'listening on 127\.0\.0\.1:[0-9]+' "$work/recorder.log" | head -1 | cut -d: -f2)
KESTREL_PASSWORD='' "$tools/kestrel" gateway -p "$port" --listen 127.0.0.1:0 --http 127.0.0.1:0 --channels 4 \
    2>"$work/gateway.log" >/dev/null &
pids+=($!)
wait_for "$work/gateway.log" 'logged in to'
http=$(grep -oE 'serving http://127\.0\.0\.1:[0-9]+' "$work/gateway.log" | head -1 | cut -d: -f3)
day=$(date +%F)

echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %16s %16s %22s\n' length 'clip first byte' 'clip complete' 'kestrel download'
for seconds in 10 60; do
    end=$(date -d "$day 12:00:00 $seconds seconds" +%H:%M:%S)
    first=() total=() cli=()
    for _ in $(seq "$runs"); do
        read -r f t < <(curl -s -o "$work/clip.mp4" -w '%{time_starttransfer} %{time_total}\n' \
            "http://127.0.0.1:$http/live/1.mp4?start=${day}T12:00:00&end=${day}T$end")
        first+=("$(awk -v s="$f" 'BEGIN { printf "%d", s * 1000 }')")
        total+=("$(awk -v s="$t" 'BEGIN { printf "%d", s * 1000 }')")
        rm -f "$work/cli.mp4"
        t0=$(date +%s%N)
        KESTREL_PASSWORD='' "$tools/kestrel" download -p "$port" -c 1 --start "$day 12:00:00" --end "$day $end" \
            -o "$work/cli.mp4" 2>/dev/null
        cli+=($(( ($(date +%s%N) - t0) / 1000000 )))
    done
    printf '%-8s %13s ms %13s ms %19s ms\n' "${seconds} s" \
        "$(printf '%s\n' "${first[@]}" | median)" "$(printf '%s\n' "${total[@]}" | median)" \
        "$(printf '%s\n' "${cli[@]}" | median)"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
