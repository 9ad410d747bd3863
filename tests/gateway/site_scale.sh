#!/usr/bin/env bash
# kestrel gateway serving a site of many recorders, on this machine, loopback
# only. Two uses:
#
#   site_scale.sh scale BUILD_DIR RECORDERS SECONDS
#     RECORDERS emulators x 8 channels behind one gateway; for SECONDS,
#     ffmpeg clients join and leave random channels (a few at a time) and the
#     site file is reloaded every 10 s, taking two recorders away, bringing
#     them back, changing one. The gateway's descriptors, threads and memory
#     are read once it has warmed up (every recorder logged in, a first round
#     of clients and reloads done, everything closed again) and at the end,
#     after the last client left and the streams closed: descriptors and
#     threads must be back where they were, memory within 8 MiB. Exit 0 when
#     they are, 1 when not, 77 when ffmpeg is missing.
#
#   site_scale.sh figures BUILD_DIR [SECONDS]
#     4 emulators x 8 channels x 2 clients (ffmpeg copying to null): the
#     gateway's CPU, memory and threads beside the emulators' own CPU in
#     the same run, and the machine's load.
set -euo pipefail
mode="${1:?usage: site_scale.sh scale|figures BUILD_DIR ...}"
build="$(cd "${2:?build dir}" && pwd)"
tools="$build/tools"
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed"; exit 77; }
work="$(mktemp -d /tmp/kestrel-site-scale-XXXXXX)"
pids=()
keep="${KEEP:-0}"
clients=()
cleanup() {
    for p in "${clients[@]}" "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done
    sleep 1
    for p in "${clients[@]}" "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    if [ "${keep:-0}" = 1 ]; then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

wait_for() {  # file regex [tenths of a second]
    for _ in $(seq "${3:-300}"); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for '$2' in $1" >&2; keep=1; return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
threads() { awk '/^Threads/ {print $2}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }
hz=$(getconf CLK_TCK)
percent() { awk -v d="$1" -v hz="$hz" -v s="$2" 'BEGIN {printf "%.1f", 100 * d / hz / s}'; }

stuck=0
ports=()
start_recorders() {  # count
    for i in $(seq 0 $(($1 - 1))); do
        "$tools/kestrel-recorder" --port 0 --channels 8 >"$work/r$i.out" 2>"$work/r$i.log" &
        pids+=($!); recorders+=($!)
    done
    for i in $(seq 0 $(($1 - 1))); do
        wait_for "$work/r$i.log" 'listening on'
        ports+=("$(grep -oE '127\.0\.0\.1:[0-9]+' "$work/r$i.log" | head -1 | cut -d: -f2)")
    done
}

write_site() {  # first last [linger of recorder 0]
    {
        echo "listen: 127.0.0.1:${gport:-0}"
        echo "http: 127.0.0.1:0"
        echo "stats: 0"
        echo "recorders:"
        for i in $(seq "$1" "$2"); do
            echo "  - name: r$i"
            echo "    address: 127.0.0.1"
            echo "    port: ${ports[$i]}"
            echo "    channels: 8"
            echo "    linger: ${3:-1}"
            echo "    idle-timeout: 3"
        done
    } >"$work/site.new"
    mv "$work/site.new" "$work/site.yaml"
}

start_gateway() {
    "$tools/kestrel" gateway --config "$work/site.yaml" >"$work/gw.out" 2>"$work/gw.log" &
    gw=$!; pids+=("$gw")
    wait_for "$work/gw.log" 'listening on rtsp'
    gport=$(grep -oE 'rtsp://127\.0\.0\.1:[0-9]+' "$work/gw.log" | head -1 | cut -d: -f3)
}

# A client still there 30 s after its time is ended (and counted as stuck).
client() {  # recorder channel seconds
    timeout -s INT $(($3 + 30)) ffmpeg -nostdin -v error -rtsp_transport tcp -timeout 15000000 -i "rtsp://127.0.0.1:$gport/r$1/$2" \
        -t "$3" -c copy -f null - >/dev/null 2>>"$work/clients.err" &
    clients+=($!)
}

reap_clients() {
    local alive=()
    for p in "${clients[@]}"; do kill -0 "$p" 2>/dev/null && alive+=("$p"); done
    clients=("${alive[@]}")
}

# Clients join and leave and the file is reloaded, for SECONDS.
churn() {  # recorders seconds
    local n=$1 until=$((SECONDS + $2)) round=0 next_reload=$((SECONDS + 10))
    while [ "$SECONDS" -lt "$until" ]; do
        reap_clients
        while [ "${#clients[@]}" -lt 6 ]; do
            client $((RANDOM % n)) $((RANDOM % 8)) $((1 + RANDOM % 4))
        done
        if [ "$SECONDS" -ge "$next_reload" ]; then
            round=$((round + 1))
            case $((round % 3)) in
                1) write_site 0 $((n - 3)) ;;  # two recorders go (their clients are ended)
                2) write_site 0 $((n - 1)) 2 ;;  # they come back; r0 changes (restarted)
                0) write_site 0 $((n - 1)) ;;  # r0 changes back
            esac
            kill -HUP "$gw"
            next_reload=$((SECONDS + 10))
        fi
        sleep 0.5
    done
}

# Waits until every client left and every stream of the gateway closed,
# then until descriptors and threads settle: the RTSP server cleans its
# sessions every 2 s, and GLib ends idle pool threads after 15 s. With
# limits (the warm values), it stops waiting as soon as they are met.
settle() {  # recorders [descriptors threads]
    local rc
    for p in "${clients[@]}"; do
        rc=0
        wait "$p" 2>/dev/null || rc=$?
        [ "$rc" != 124 ] || stuck=$((stuck + 1))
    done
    clients=()
    write_site 0 $(("$1" - 1))
    kill -HUP "$gw"
    sleep 4  # the linger (1 s) and the session clean-up
    local last="" same=0 now
    for _ in $(seq 30); do
        now="$(fds "$gw") $(threads "$gw")"
        if [ -n "${2:-}" ] && [ "${now% *}" -le "$2" ] && [ "${now#* }" -le "$3" ]; then break; fi
        if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
        [ -z "${2:-}" ] && [ "$same" -ge 5 ] && break
        last="$now"
        sleep 1
    done
    kill -USR1 "$gw"
    sleep 0.5
    if grep 'state: ' "$work/gw.log" | tail -1 | grep -qE '"clients":[1-9]'; then
        echo "clients still counted: $(grep 'state: ' "$work/gw.log" | tail -1)" >&2
    fi
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "machine: $(nproc) CPUs, $(awk '/MemTotal/ {print int($2/1024)}' /proc/meminfo) MiB, load $(load)"

case "$mode" in
scale)
    n="${3:-16}"
    seconds="${4:-300}"
    recorders=()
    start_recorders "$n"
    write_site 0 $((n - 1))
    start_gateway
    for i in $(seq 0 $((n - 1))); do wait_for "$work/gw.log" "r$i: logged in to"; done
    # Warm up: one round of clients and reloads, then everything closed.
    churn "$n" $((seconds < 60 ? 12 : 25))
    settle "$n"
    f0=$(fds "$gw"); t0=$(threads "$gw"); m0=$(rss_kib "$gw")
    echo "warm:  descriptors $f0, threads $t0, RSS $m0 KiB"
    churn "$n" "$seconds"
    settle "$n" "$f0" "$t0"
    f1=$(fds "$gw"); t1=$(threads "$gw"); m1=$(rss_kib "$gw")
    echo "after: descriptors $f1, threads $t1, RSS $m1 KiB ($n recorders x 8 channels, $seconds s of clients and reloads)"
    logins=$(grep -c 'logged in' "$work/gw.log")
    reloads=$(grep -c 'reload (SIGHUP): ' "$work/gw.log")
    echo "logins $logins, reloads $reloads, client failures $(grep -c . "$work/clients.err" || true), clients stuck $stuck, load $(load)"
    status=0
    [ "$f1" -le "$f0" ] || { echo "FAIL: descriptors grew from $f0 to $f1"; status=1; }
    [ "$t1" -le "$t0" ] || { echo "FAIL: threads grew from $t0 to $t1"; status=1; }
    [ "$m1" -le $((m0 + 8192)) ] || { echo "FAIL: memory grew from $m0 to $m1 KiB"; status=1; }
    kill -INT "$gw"
    for _ in $(seq 100); do kill -0 "$gw" 2>/dev/null || break; sleep 0.1; done
    grep -q 'gateway: stopped' "$work/gw.log" || { echo "FAIL: the gateway did not stop cleanly"; status=1; }
    [ "$status" = 0 ] || keep=1
    exit "$status"
    ;;
figures)
    seconds="${3:-20}"
    recorders=()
    start_recorders 4
    write_site 0 3
    start_gateway
    for i in 0 1 2 3; do wait_for "$work/gw.log" "r$i: logged in to"; done
    c0=$(cpu_ticks "$gw"); sleep 5; c1=$(cpu_ticks "$gw")
    echo "idle, 4 recorders logged in: gateway CPU $(percent $((c1 - c0)) 5) %, RSS $(rss_kib "$gw") KiB, threads $(threads "$gw")"
    for r in 0 1 2 3; do for ch in $(seq 0 7); do client "$r" "$ch" 3600; client "$r" "$ch" 3600; done; done
    wait_for "$work/gw.log" 'r3: channel 7: client .* joined \(2 clients\)' 600
    sleep 5
    g0=$(cpu_ticks "$gw"); e0=0
    for p in "${recorders[@]}"; do e0=$((e0 + $(cpu_ticks "$p"))); done
    sleep "$seconds"
    g1=$(cpu_ticks "$gw"); e1=0
    for p in "${recorders[@]}"; do e1=$((e1 + $(cpu_ticks "$p"))); done
    echo "4 recorders x 8 channels x 2 clients, over $seconds s:"
    echo "  gateway:   CPU $(percent $((g1 - g0)) "$seconds") % of one core, RSS $(rss_kib "$gw") KiB, threads $(threads "$gw"), descriptors $(fds "$gw")"
    echo "  emulators: CPU $(percent $((e1 - e0)) "$seconds") % of one core (all four together)"
    echo "  load $(load)"
    ;;
*)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
