#!/usr/bin/env bash
# Quick start: builds the three programs it uses (the library, kestrel and
# kestrel-recorder), starts kestrel-recorder in the background, watches live
# video for a few seconds, searches and downloads a recording, stops the
# recorder and says where the video files are. Needs only the build
# toolchain (CMake, Ninja, a C++20 compiler, GoogleTest).
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"
bin="$root/build/default/tools"
out="$root/build/quickstart"
port="${KESTREL_PORT:-5050}"

cmake --preset default >/dev/null
# Only what runs below: the whole tree (tests, benchmark, fuzzing, the
# earlier release) takes several times as long.
cmake --build --preset default --target kestrelnet kestrel kestrel-recorder
mkdir -p "$out"

"$bin/kestrel-recorder" --port "$port" 2>"$out/recorder.log" &
recorder=$!
trap 'kill -INT "$recorder" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    grep -q "listening on" "$out/recorder.log" 2>/dev/null && break
    sleep 0.1
done
grep -q "listening on" "$out/recorder.log" || { cat "$out/recorder.log"; exit 1; }

echo "== live video of channel 0 for 4 seconds"
"$bin/kestrel" live -p "$port" -c 0 --duration 4 --h264 -o "$out/live.h264"
echo "== recordings of channel 0 today"
today="$(date +%F)"
"$bin/kestrel" search -p "$port" -c 0 --from "$today" --to "$today"
echo "== download of 08:00:00-08:00:10"
"$bin/kestrel" download -p "$port" -c 0 --start "$today 08:00:00" --end "$today 08:00:10" --h264 \
    -o "$out/download.h264"

kill -INT "$recorder"
wait "$recorder" || true
trap - EXIT
echo
echo "Live video:      $out/live.h264"
echo "Downloaded video: $out/download.h264"
echo "Recorder log:    $out/recorder.log"
echo "Play with: ffplay $out/live.h264   (or open it in VLC)"
