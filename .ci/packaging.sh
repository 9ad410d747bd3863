#!/usr/bin/env bash
# CI: packaging and protocol tooling on the default build. Installs what the
# checks need, then runs the consumer checks (install, find_package,
# pkg-config), the Debian package checks (CPack, lintian) and the Wireshark
# dissector check (tshark on a loopback capture). Outside CI a check whose
# tools are missing is skipped; in CI (CI=true) it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${CI:-}" = "true" ] && [ "$(id -u)" = 0 ]; then
    . .ci/apt.sh
    # tshark asks whether non-root users may capture; the answer is preset.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    ci_apt_update
    ci_apt_install \
        tshark lintian pkg-config dpkg-dev fakeroot file binutils gzip
fi

build=build/default
if [ ! -x "$build/tools/kestrel-recorder" ]; then
    cmake --preset default
    cmake --build "$build" -j2
fi
# The packages hold the manual pages, made by the default build target.
cmake --build "$build" -j2

status=0
for check in consumer debian dissector dissector_input; do
    echo "== packaging: $check"
    rc=0
    timeout 600 bash tests/packaging/$check.sh "$build" || rc=$?
    if [ "$rc" -eq 77 ]; then
        echo "   ($check skipped)"
    elif [ "$rc" -ne 0 ]; then
        echo "   ($check FAILED, exit $rc)"
        status=1
    fi
done
exit $status
