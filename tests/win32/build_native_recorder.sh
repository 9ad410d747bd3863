#!/bin/sh
# Builds kestrel-recorder for this machine (not for Windows) in a build
# folder of its own, for the Windows host test to talk to: a cross build
# cannot make it itself.
#
#   build_native_recorder.sh <source dir> <build dir>
set -eu
src=$1 build=$2
if [ ! -f "$build/build.ninja" ]; then
    # Nothing of the cross build's compilers or flags may leak into it.
    env -u CC -u CXX -u CFLAGS -u CXXFLAGS -u LDFLAGS \
        cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" --target kestrel-recorder
