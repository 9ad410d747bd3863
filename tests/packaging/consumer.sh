#!/usr/bin/env bash
# A host project's view of an installed kestrelnet: install into a temporary
# prefix, check the versioned files and the exports, move the prefix (nothing
# may point back at the build), then build a C host against it through
# find_package and through pkg-config, for both releases, and run each against
# the recorder emulator.
#   tests/packaging/consumer.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/common.sh"
build="$(cd "${1:?usage: consumer.sh BUILD_DIR}" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
kn_need cmake pkg-config readelf nm cc c++ ninja

work="$(mktemp -d)"
recorder_pid=""
cleanup() {
    [ -n "$recorder_pid" ] && kn_stop "$recorder_pid"
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$work/config"
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/stage" >/dev/null
# Nothing installed for a host may name the build or source tree.
if grep -rlF -e "$build" -e "$source_dir" "$work/stage/lib" "$work/stage/include" 2>/dev/null | grep -v '\.so'; then
    fail "installed files name the build or source tree"
fi
mv "$work/stage" "$work/prefix"
prefix="$work/prefix"

real13="$(find "$prefix" -name 'libkestrelnet.so.1.0.0.13' -not -path '*/1.0.0.1/*')"
real01="$(find "$prefix" -path '*/kestrelnet/1.0.0.1/libkestrelnet.so.1.0.0.1')"
[ -f "$real13" ] || fail "libkestrelnet.so.1.0.0.13 not installed"
[ -f "$real01" ] || fail "kestrelnet/1.0.0.1/libkestrelnet.so.1.0.0.1 not installed"
expected_exports="$(sed -n 's/^ *\(KR_4100_[A-Za-z]*\);$/\1/p' "$source_dir/cmake/kestrelnet.map" | sort)"
for real in "$real13" "$real01"; do
    dir="$(dirname "$real")"
    [ "$(readlink "$dir/libkestrelnet.so.1")" = "$(basename "$real")" ] || fail "$dir/libkestrelnet.so.1 link"
    [ "$(readlink "$dir/libkestrelnet.so")" = "libkestrelnet.so.1" ] || fail "$dir/libkestrelnet.so link"
    soname="$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
    [ "$soname" = "libkestrelnet.so.1" ] || fail "$real: SONAME '$soname'"
    exports="$(nm -D --defined-only "$real" | awk '$2 == "T" { print $3 }' | sort)"
    [ "$exports" = "$expected_exports" ] || fail "$real exports differ: $(diff <(echo "$expected_exports") <(echo "$exports") | tr '\n' ' ')"
done
libdir="$(dirname "$real13")"

# The installed header, alone, in C99 and C++, without a warning: as
# <kestrelnet/kestrelnet.h>, and under the names hosts included it by before
# (all three at once too: the header guards itself).
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags="$(pkg-config --cflags kestrelnet)"
for include in '<kestrelnet/kestrelnet.h>' '<kestrelnet/exports.h>' '"exports.h"' \
    '<kestrelnet/kestrelnet.h>\n#include <kestrelnet/exports.h>\n#include "exports.h"'; do
    printf "#include $include\nint main(void) { return KR_4100_FIND_RECORD == 1000 ? 0 : 1; }\n" >"$work/header.c"
    cp "$work/header.c" "$work/header.cpp"
    # shellcheck disable=SC2086
    cc -std=c99 -Wall -Wextra -pedantic -Werror $cflags -c "$work/header.c" -o "$work/header-c.o" ||
        fail "#include $include in C"
    # shellcheck disable=SC2086
    c++ -std=c++11 -Wall -Wextra -pedantic -Werror $cflags -c "$work/header.cpp" -o "$work/header-cpp.o" ||
        fail "#include $include in C++"
done
cmp "$prefix/include/kestrelnet/kestrelnet.h" "$source_dir/api/exports.h" || fail "kestrelnet.h is not the header"

[ "$(pkg-config --modversion kestrelnet)" = "1.0.0.13" ] || fail "kestrelnet.pc version"
[ "$(pkg-config --modversion kestrelnet-1.0.0.1)" = "1.0.0.1" ] || fail "kestrelnet-1.0.0.1.pc version"

kn_start_recorder "$build/tools/kestrel-recorder" "$work/recorder.log" || fail "recorder did not start"
recorder_pid=$KN_RECORDER_PID
example="$prefix/share/doc/libkestrelnet-dev/examples"
[ -f "$example/main.c" ] || fail "example host not installed"
# The example is what a host copies: it includes the header as hosts should.
grep -qx '#include <kestrelnet/kestrelnet.h>' "$example/main.c" || fail "the example host includes the header otherwise"

# Runs host $1, which must load the library file $2, against the recorder.
run_host() {
    local host=$1 want=$2 loaded
    loaded="$(ldd "$host" | sed -n 's/.*libkestrelnet\.so\.1 => \([^ ]*\).*/\1/p')"
    [ "$(readlink -f "$loaded")" = "$(readlink -f "$want")" ] || fail "$host loads '$loaded', not $want"
    timeout 30 "$host" 127.0.0.1 "$KN_PORT" 0 >"$host.out" || { cat "$host.out" >&2; fail "$host against the recorder"; }
    grep -Eq '^[1-9][0-9]* frames in' "$host.out" || fail "$host received no frames"
    echo "ok: ${host#"$work"/}: $(tail -n 1 "$host.out")"
}

# pkg-config, both releases.
for module in kestrelnet kestrelnet-1.0.0.1; do
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Wextra -pedantic -Werror "$example/main.c" -o "$work/pc-$module" \
        $(pkg-config --cflags --libs "$module") -Wl,-rpath,"$libdir" -pthread -ldl
done
run_host "$work/pc-kestrelnet" "$real13"
run_host "$work/pc-kestrelnet-1.0.0.1" "$real01"

# find_package, both releases: the installed example as it is, and the same
# source linked to the release 1.0.0.1 target.
cmake -S "$example" -B "$work/cm13" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm13" >/dev/null
run_host "$work/cm13/kestrel-example" "$real13"
mkdir -p "$work/src01"
cp "$example/main.c" "$work/src01/"
sed 's/kestrelnet::kestrelnet /kestrelnet::kestrelnet_1001 /' "$example/CMakeLists.txt" >"$work/src01/CMakeLists.txt"
cmake -S "$work/src01" -B "$work/cm01" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm01" >/dev/null
run_host "$work/cm01/kestrel-example" "$real01"

# The version file: a host asking for another major version is refused.
mkdir -p "$work/src2"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(v2 C)\nfind_package(kestrelnet 2.0 REQUIRED)\n' \
    >"$work/src2/CMakeLists.txt"
if cmake -S "$work/src2" -B "$work/cm2" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
    fail "find_package(kestrelnet 2.0) accepted release 1.0.0.13"
fi
echo "consumer checks passed"
