#!/usr/bin/env bash
# Makes the sample clip that kestrel-recorder serves: 3 s of ffmpeg's test
# pattern, 352x288 at 25 frames a second, H.264 baseline as an Annex B
# elementary stream with an access unit delimiter in front of every picture.
# Also makes tone.pcm, the audio the README's talk example sends: 1 s of a
# 440 Hz tone as 8 kHz 16-bit little-endian mono PCM (16000 bytes).
# The results are committed; run this only to make them again (needs ffmpeg).
set -euo pipefail
here="$(dirname "$0")"
out="${1:-$here/sample.h264}"
tone="${2:-$here/tone.pcm}"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=352x288:rate=25:duration=3 \
    -c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p \
    -g 25 -bf 0 -x264-params aud=1 \
    -f h264 "$out"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 \
    -ac 1 -f s16le "$tone"
echo "$out: $(stat -c %s "$out") bytes; $tone: $(stat -c %s "$tone") bytes"
