# Shared by the figure scripts (source it, then call bench_setup NAME): a
# scratch folder in $work, removed at exit with every program whose pid was
# added to $pids (asked to stop with SIGINT, killed a second later), and
# the small helpers each script needs.
pids=()

bench_setup() {  # name: the scratch folder's prefix under /tmp
    work="$(mktemp -d "/tmp/$1-XXXXXX")"
    trap bench_cleanup EXIT
}

bench_cleanup() {
    for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null || true; done
    sleep 1
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    rm -rf "$work"
}

wait_for() {  # file regex: up to 15 s for a line matching regex in file
    for _ in $(seq 150); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for '$2' in $1" >&2; return 1
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
