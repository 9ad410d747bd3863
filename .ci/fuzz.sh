#!/usr/bin/env bash
# CI: builds the libFuzzer targets (fuzz preset: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a short fixed time on its
# seed corpus. A crash, a sanitizer report or a broken invariant fails the
# run; the input that did it is kept in build/fuzz/findings/.
# FUZZ_SECONDS sets the time per target (default 40).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-40}"
cmake --preset fuzz
cmake --build build/fuzz --target fuzz_all -j2

mkdir -p build/fuzz/findings
status=0
for target in fuzz_media_stream fuzz_media_datagram fuzz_frame_queue fuzz_control_reply fuzz_command_channel \
    fuzz_soap_request; do
    binary="build/fuzz/fuzz/${target}"
    [ -x "$binary" ] || continue
    work="build/fuzz/corpus/${target}"
    mkdir -p "$work"
    echo "== ${target}: ${seconds} s"
    # New inputs go to the work folder; the seeds in the repository stay as
    # they are.
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/findings/${target}-" "$work" "fuzz/corpus/${target}"; then
        echo "== ${target} FAILED: see build/fuzz/findings/"
        status=1
    fi
done
exit "$status"
