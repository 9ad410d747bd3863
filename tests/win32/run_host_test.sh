#!/bin/sh
# Runs the Windows host test under Wine against two kestrel-recorder
# instances running natively on 127.0.0.1: one normal, one that resets the
# command channel at the library's third packet (for the disconnect notice).
#
#   run_host_test.sh <kestrel-recorder> <wine> <host.exe> <kestrelnet.dll> <release>
#
# Exit status: the host test's, or 1 when there is no recorder to talk to.
set -u
recorder=$1 wine=$2 host=$3 dll=$4 release=$5

if [ ! -x "$recorder" ]; then
    echo "no kestrel-recorder at $recorder: build it for this machine (cmake --workflow --preset default)," \
        "or name one with -DKN_RECORDER_BIN=..., or leave KN_RECORDER_BIN empty and this build makes one"
    exit 1
fi

work=$(mktemp -d)
pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null
    done
    for pid in $pids; do
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Starts a recorder on a free port, logging to $work/<name>.log.
start_recorder() {
    name=$1
    shift
    "$recorder" --address 127.0.0.1 --port 0 "$@" 2>"$work/$name.log" &
    pids="$pids $!"
}

# Prints the port a recorder logged, or fails after 10 s.
recorder_port() {
    tries=0
    while [ $tries -lt 100 ]; do
        port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$1.log" | head -n 1)
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    cat "$work/$1.log" >&2
    return 1
}

start_recorder normal
start_recorder dropping --drop-after 3
port=$(recorder_port normal) || { echo "the recorder did not start"; exit 1; }
drop_port=$(recorder_port dropping) || { echo "the dropping recorder did not start"; exit 1; }
echo "recorders on 127.0.0.1:$port and 127.0.0.1:$drop_port"

# Wine maps the whole Unix tree to drive Z:.
win_dll="Z:$(printf '%s' "$dll" | tr '/' '\\')"
"$wine" "$host" "$win_dll" "$release" "$port" "$drop_port"
status=$?
if [ $status -ne 0 ]; then
    for log in "$work"/*.log; do
        echo "== $log"
        tail -n 40 "$log"
    done
fi
exit $status
