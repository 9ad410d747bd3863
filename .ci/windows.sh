#!/usr/bin/env bash
# CI, Windows part: kestrelnet.dll for 32- and 64-bit Windows, both releases,
# cross-built with MinGW-w64 and tested under Wine; one zip per architecture
# and release. Needs the default build first (its kestrel-recorder is the
# recorder the Windows host test talks to).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

if [ "${CI:-}" = true ] && [ "$(id -u)" = 0 ]; then
    echo "== Windows: installing MinGW-w64 and Wine"
    dpkg --add-architecture i386
    . .ci/apt.sh
    ci_apt_update
    tools=(wine wine64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix lld)
    # The 32-bit loader comes from the i386 archive; when its index cannot be
    # had (a mirror mid-sync), the 64-bit side is still built and tested.
    if ! ci_apt_install "${tools[@]}" wine32:i386; then
        echo "== Windows: wine32 not installable; the i686 DLLs will be built, not tested"
        ci_apt_install "${tools[@]}"
    fi
fi

if [ ! -x build/default/tools/kestrel-recorder ]; then
    cmake --preset default
    cmake --build build/default -j2 --target kestrel-recorder
fi

# A fresh prefix inside the build folder, no display, no Wine debug output,
# no Mono or Gecko installers. One persistent server serves every test
# program; it is started before the prefix is made so that the services
# wineboot starts never hold a test's output open.
export WINEPREFIX="$PWD/build/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
# Stops the server of this prefix only (wineserver -k acts on $WINEPREFIX).
trap 'wineserver -k || true' EXIT
# Some kernels are built without 32-bit x86 support: there, Wine's 32-bit
# loader cannot start, the 32-bit DLLs are built and packaged but their
# tests cannot run, and the prefix is made by the 64-bit loader.
loader=wine
run32=true
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    run32=false
    loader=/usr/lib/wine/wine64
    echo "== Windows: no working 32-bit Wine loader here; the i686 DLLs are built, not tested"
fi
echo "== Windows: making the Wine prefix"
"$loader" wineboot -i </dev/null >/dev/null 2>&1

for arch in i686 x86_64; do
    if [ "$arch" = i686 ] && [ "$run32" = false ]; then
        echo "== Windows $arch: build only (NOT tested: no working 32-bit Wine loader)"
        cmake --preset "mingw-$arch"
        cmake --build --preset "mingw-$arch"
    else
        echo "== Windows $arch: build and test under Wine"
        cmake --workflow --preset "mingw-$arch"
    fi
    (cd "build/mingw-$arch" && cpack -G ZIP -B packages >/dev/null && ls packages/*.zip)
    # Each zip holds the header under both names and the licence.
    for zip in build/mingw-"$arch"/packages/*.zip; do
        listing="$(cmake -E tar tf "$zip")"
        for member in LICENSE include/kestrelnet/kestrelnet.h include/kestrelnet/exports.h bin/kestrelnet.dll; do
            grep -qx "$member" <<<"$listing" || { echo "$zip lacks $member"; exit 1; }
        done
    done
    for dll in "build/mingw-$arch/lib/kestrelnet.dll" "build/mingw-$arch/lib/1.0.0.1/kestrelnet.dll"; do
        echo "-- export table of $dll"
        "$arch-w64-mingw32-objdump" -p "$dll" | sed -n '/^Export Address Table/,/^PE File Base Relocations/p' |
            sed '/^PE File Base Relocations/d'
    done
done

echo "== Windows part took $(( $(date +%s) - started )) s"
