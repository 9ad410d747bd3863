#!/usr/bin/env bash
# Makes the sample clip that kestrel-recorder serves: 3 s of ffmpeg's test
# pattern, 352x288 at 25 frames a second, H.264 baseline as an Annex B
# elementary stream with an access unit delimiter in front of every picture.
# The result is committed; run this only to make it again (needs ffmpeg).
set -euo pipefail
out="${1:-$(dirname "$0")/sample.h264}"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=352x288:rate=25:duration=3 \
    -c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p \
    -g 25 -bf 0 -x264-params aud=1 \
    -f h264 "$out"
echo "$out: $(stat -c %s "$out") bytes"
