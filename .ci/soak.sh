#!/usr/bin/env bash
# CI: a short soak (kestrel-soak from the default build): a few hundred
# fault-injected cycles of login, streams, stops and logout against the
# emulator; fails when descriptors, threads or resident memory grow, or a
# cycle hangs. SOAK_CYCLES sets the number of cycles (default 300).
set -euo pipefail
cd "$(dirname "$0")/.."

cycles="${SOAK_CYCLES:-300}"
[ -x build/default/tools/kestrel-soak ] || cmake --build build/default --target kestrel-soak -j2
build/default/tools/kestrel-soak --cycles "$cycles" --report-every 100
