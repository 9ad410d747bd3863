#!/usr/bin/env bash
# The gateway calls the library from two files only: the recorder's link
# (with the process-wide start, clean-up and the notice thread) and the
# archive. Any other gateway file that includes the public header or names
# one of its functions fails the check; the set must never grow.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== gateway: the library's exports named only where they may be"
allowed=(
    tools/programs/gateway/site/recorder_link.cpp
    tools/programs/gateway/archive/archive_gate.cpp
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
