#!/usr/bin/env bash
# Makes the clips that kestrel-recorder serves, as Annex B elementary streams
# of H.264 baseline with an access unit delimiter in front of every picture
# and the frame rate declared in the sequence parameter set:
#   sample.h264    3 s of ffmpeg's test pattern, 352x288 at 25 frames a second
#   sample30.h264  2 s of it at 30 frames a second (kestrel-recorder --fps 30)
# Also makes tone.pcm, the audio the README's talk example sends: 1 s of a
# 440 Hz tone as 8 kHz 16-bit little-endian mono PCM (16000 bytes).
# The results are committed; run this only to make them again (needs ffmpeg).
set -euo pipefail
here="$(dirname "$0")"
out="${1:-$here/sample.h264}"
tone="${2:-$here/tone.pcm}"
out30="${3:-$here/sample30.h264}"
clip() {  # rate seconds file
    ffmpeg -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc=size=352x288:rate=$1:duration=$2" \
        -c:v libx264 -preset ultrafast -profile:v baseline -pix_fmt yuv420p \
        -g "$1" -bf 0 -x264-params aud=1 \
        -f h264 "$3"
}
clip 25 3 "$out"
clip 30 2 "$out30"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 \
    -ac 1 -f s16le "$tone"
echo "$out: $(stat -c %s "$out") bytes; $out30: $(stat -c %s "$out30") bytes; $tone: $(stat -c %s "$tone") bytes"
