#!/bin/sh
# Makes the Wine prefix that every Windows test runs in ($WINEPREFIX, else
# ~/.wine) before any test starts: a CTest fixture, so that no two tests
# race to make it. A prefix that is there already is kept.
#
#   make_wine_prefix.sh <wine>
set -u
wine=$1
prefix=${WINEPREFIX:-$HOME/.wine}
if [ -d "$prefix/drive_c/windows" ]; then
    echo "Wine prefix $prefix is there"
    exit 0
fi
echo "making the Wine prefix $prefix"
mkdir -p "$prefix"
# The services wineboot starts keep running; they must not hold the output
# that CTest waits on.
if ! "$wine" wineboot -i </dev/null >/dev/null 2>&1; then
    echo "wineboot could not make the Wine prefix $prefix"
    exit 1
fi
if [ ! -d "$prefix/drive_c/windows" ]; then
    echo "wineboot ran but made no Wine prefix at $prefix"
    exit 1
fi
