#!/usr/bin/env bash
# CI: what kestrel gateway and kestrel's MP4 output need, installed before the
# first configure so that every build includes them and their tests run:
# GStreamer's RTSP server library (with the app library it pulls in), the
# parser, payloader and MP4 muxer elements, the H.264 decoder and JPEG
# encoder of the snapshots, libsoup 3 for the web side, ffmpeg and curl as
# the tests' clients, yaml-cpp for the gateway's site file, CLI11 for the programs'
# command lines, GStreamer's WebRTC and SDP libraries with libnice (webrtcbin's
# ICE, which it does not pull in) for the WebRTC front, libmosquitto for the
# gateway's MQTT (with Debian's broker and its clients for the tests), and
# systemd for systemd-analyze, which checks the gateway's unit
# (tests/packaging/debian.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${CI:-}" != "true" ]]; then
    echo "== gateway packages: not CI, leaving the machine's packages as they are"
    exit 0
fi
echo "== gateway packages"
. .ci/apt.sh
ci_apt_update
ci_apt_install \
    pkg-config libgstrtspserver-1.0-dev libsoup-3.0-dev ffmpeg libyaml-cpp-dev systemd \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav \
    gstreamer1.0-tools nlohmann-json3-dev libcli11-dev libgstreamer-plugins-bad1.0-dev libnice-dev \
    gstreamer1.0-nice libmosquitto-dev mosquitto mosquitto-clients curl libxml2-dev \
    libcrypt-dev glib-networking openssl
