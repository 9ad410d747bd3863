#!/usr/bin/env bash
# CI: the Python package. Installs what it needs from Debian's packages
# (scikit-build-core, from backports on Debian 12; pytest; venv), installs the
# package from the source tree with pip into a fresh virtual environment, the
# way an integrator does (CMake builds both library releases into it), runs
# its tests against kestrel-recorder, then checks the install that uses an
# already built library instead. Outside CI, missing tools skip the check; in
# CI (CI=true) they fail it.
set -euo pipefail
cd "$(dirname "$0")/.."

python=/usr/bin/python3
if [ "${CI:-}" = "true" ] && [ "$(id -u)" = 0 ]; then
    . .ci/apt.sh
    ci_apt_update
    ci_apt_install python3-venv python3-pytest python3-mypy
    if ! apt-cache show python3-scikit-build-core >/dev/null 2>&1; then
        # Debian 12 has scikit-build-core in its backports only.
        . /etc/os-release
        printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$VERSION_CODENAME" > /etc/apt/sources.list.d/kestrelnet-backports.sources
        ci_apt_update
        ci_apt_install -t "$VERSION_CODENAME-backports" python3-scikit-build-core
    else
        ci_apt_install python3-scikit-build-core
    fi
fi
if ! "$python" -c 'import scikit_build_core, pytest, venv' 2>/dev/null; then
    echo "python: scikit-build-core, pytest or venv missing for $python"
    if [ "${CI:-}" = "true" ]; then exit 1; fi
    echo "   (Python package check skipped)"
    exit 0
fi

build=build/default
if [ ! -x "$build/tools/kestrel-recorder" ]; then
    cmake --preset default
    cmake --build "$build" -j2 --target kestrel-recorder kestrelnet kestrelnet_1001
fi

# Debian's scikit-build-core and pytest come in through the system's site
# packages; pip has no index to fetch a build environment from, so the
# package builds in this one.
venv=build/python-venv
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
echo "== python: pip install ./python"
began=$(date +%s)
"$venv/bin/pip" install -q --no-index --no-build-isolation ./python
echo "   built and installed in $(( $(date +%s) - began )) s"
"$venv/bin/python" -c 'import kestrelnet; print("   loads", kestrelnet.library_file(), "and", kestrelnet.library_file("1.0.0.1"))'

if "$python" -c 'import mypy' 2>/dev/null; then
    echo "== python: type hints (mypy --strict)"
    (cd python && "$python" -m mypy --cache-dir ../build/mypy-cache --strict --no-error-summary kestrelnet &&
        "$python" -m mypy --cache-dir ../build/mypy-cache --no-error-summary examples)
fi

echo "== python: pytest"
rc=0
(cd build && KESTREL_RECORDER="$PWD/default/tools/kestrel-recorder" \
    timeout 900 "../$venv/bin/python" -m pytest -p no:cacheprovider -q ../python/tests) || rc=$?
if [ "$rc" -eq 5 ]; then
    echo "python: pytest collected no test"
    exit 1
elif [ "$rc" -ne 0 ]; then
    exit "$rc"
fi

echo "== python: the package on an installed library"
system_venv=build/python-venv-system
rm -rf "$system_venv"
"$python" -m venv --system-site-packages "$system_venv"
KESTRELNET_SYSTEM_LIBRARY=1 "$system_venv/bin/pip" install -q --no-index --no-build-isolation ./python
KESTRELNET_LIBRARY=system LD_LIBRARY_PATH="$PWD/$build/lib" "$system_venv/bin/python" - <<'PY'
import kestrelnet, os
assert not os.path.exists(os.path.join(os.path.dirname(kestrelnet.__file__), "lib")), "library built in"
path = kestrelnet.library_file()
assert path == "libkestrelnet.so.1", path
assert kestrelnet.decoder_header()[:8] == b"KRVIDHDR"
print("   loads", path, "through the loader's search")
from importlib import metadata
meta = metadata.metadata("kestrelnet")
assert meta["License"] == "MIT", meta["License"]
assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")
assert any(f.name == "LICENSE" for f in metadata.files("kestrelnet")), "no LICENSE in the wheel"
print("   under the MIT licence, its LICENSE installed")
PY
