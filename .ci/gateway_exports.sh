#!/usr/bin/env bash
# The gateway calls the library from a known set of files only: the
# recorder's link and its process-wide host (start, clean-up, the notice
# thread) and the archive. Any other gateway file that includes the public
# header or names one of its functions fails the check. The set is to
# shrink to two files (the link and the archive) as the gateway's folders
# are split by concern; it must never grow.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== gateway: the library's exports named only where they may be"
allowed=(
    tools/programs/gateway/library_host.cpp
    tools/programs/gateway/recorder_link.cpp
    tools/programs/gateway/archive_gate.cpp
    tools/programs/gateway/archive_search.cpp
    tools/programs/gateway/archive_search.h
    tools/programs/gateway/clip_job.cpp
    tools/programs/gateway/playback_feed.cpp
)
status=0
while IFS= read -r file; do
    ok=0
    for a in "${allowed[@]}"; do [ "$file" = "$a" ] && ok=1; done
    if [ "$ok" = 0 ]; then
        echo "$file names the library's exports (only ${allowed[*]} may)"
        status=1
    fi
done < <(git grep -lE '#include "api/exports.h"|\bKR_4100_[A-Za-z_]+ *\(' -- tools/programs/gateway)
exit "$status"
