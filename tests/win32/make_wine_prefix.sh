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
# that CTest waits on, so it goes to a file.
log=$(mktemp)
"$wine" wineboot -i </dev/null >"$log" 2>&1
status=$?
if [ $status -ne 0 ] || [ ! -d "$prefix/drive_c/windows" ]; then
    echo "$wine could not make the Wine prefix $prefix (status $status):"
    tail -n 20 "$log"
    # Debian's wine script starts the 32-bit loader whenever it is installed.
    if grep -q "Exec format error" "$log"; then
        echo "this machine cannot run 32-bit programs: 32-bit Windows tests cannot run here"
    fi
    rm -f "$log"
    exit 1
fi
rm -f "$log"
