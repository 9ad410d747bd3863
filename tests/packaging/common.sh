# Shared by the packaging checks: skipping, bounded waits and the recorder
# emulator on 127.0.0.1. Sourced, never run.

# Exit status 77 means "skipped" to CTest and to .ci/packaging.sh.
kn_skip_or_fail() {
    if [ "${CI:-}" = "true" ]; then
        echo "FAIL: $*" >&2
        exit 1
    fi
    echo "SKIP: $*" >&2
    exit 77
}

kn_need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || kn_skip_or_fail "$tool is not installed"
    done
}

# Waits up to $2 tenths of a second for the extended regex $1 in file $3.
kn_wait_for() {
    local i
    for ((i = 0; i < $2; ++i)); do
        grep -Eq "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "FAIL: no '$1' in $3 after $(($2 / 10)) s" >&2
    cat "$3" >&2 || true
    return 1
}

# Starts kestrel-recorder ($1) on a free port of 127.0.0.1; sets
# KN_RECORDER_PID and KN_PORT. Its log goes to $2.
kn_start_recorder() {
    "$1" --address 127.0.0.1 --port 0 --verbose 2>"$2" &
    KN_RECORDER_PID=$!
    kn_wait_for "listening on" 50 "$2" || return 1
    KN_PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$2" | head -n 1)
    [ -n "$KN_PORT" ]
}

# Stops a process started by this script, by its id: SIGINT, then up to 5 s,
# then SIGKILL.
kn_stop() {
    local pid=$1 i
    kill -INT "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 50; ++i)); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
