#!/usr/bin/env bash
# The Wireshark dissector against a real conversation: capture on loopback
# while kestrel drives kestrel-recorder through login, parameters, search, live
# video over TCP and UDP, playback, download and talk; then decode the capture
# with tshark and compare the command codes, session ids, frame counts and
# talk bytes with what the recorder logged.
#   tests/packaging/dissector.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/common.sh"
build="$(cd "${1:?usage: dissector.sh BUILD_DIR}" && pwd)"
lua="$(cd "$here/../.." && pwd)/tools/examples/wireshark/kestrelnet.lua"
kn_need tshark dumpcap awk
bin="$build/tools"

work="$(mktemp -d)"
recorder_pid=""
dumpcap_pid=""
cleanup() {
    [ -n "$dumpcap_pid" ] && kn_stop "$dumpcap_pid"
    [ -n "$recorder_pid" ] && kn_stop "$recorder_pid"
    if [ -n "${KN_KEEP_CAPTURE:-}" ]; then
        cp "$work/capture.pcapng" "$work/recorder.log" "$KN_KEEP_CAPTURE"/ 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export XDG_CONFIG_HOME="$work/config"

if ! timeout 10 dumpcap -D 2>/dev/null | grep -qw lo; then
    kn_skip_or_fail "no capture permission on the loopback interface"
fi

kn_start_recorder "$bin/kestrel-recorder" "$work/recorder.log" || fail "recorder did not start"
recorder_pid=$KN_RECORDER_PID
port=$KN_PORT
timeout 300 dumpcap -q -i lo -f "host 127.0.0.1 and (tcp port $port or udp port $port)" \
    -a duration:240 -w "$work/capture.pcapng" 2>"$work/dumpcap.log" &
dumpcap_pid=$!
kn_wait_for "Capturing on" 100 "$work/dumpcap.log" || fail "dumpcap did not start"

day="$(date -u +%F)"
k() { timeout 30 "$bin/kestrel" "$@" -p "$port" --timeout 2000 >>"$work/kestrel.log" 2>&1 || fail "kestrel $*"; }
head -c 6400 /dev/urandom >"$work/audio.raw"
k login
k param set 100 "01 02 03"
k param get 100
k search -c 1 --from "$day" --to "$day"
k live -c 0 --transport tcp --duration 1.5 -o /dev/null
k live -c 1 --transport udp --duration 1.5 -o /dev/null
k playback -c 2 --start "$day 08:00:00" --duration 1.5 --at 0.5:pause --at 1:resume -o /dev/null
k download -c 0 --start "$day 08:00:00" --end "$day 08:00:02" -o "$work/download.raw"
k talk --file "$work/audio.raw" --rate 0
kn_wait_for "closed \(stop-talk" 50 "$work/recorder.log" || fail "stop talk not seen"
sleep 0.5
kn_stop "$dumpcap_pid"
dumpcap_pid=""
kn_stop "$recorder_pid"
recorder_pid=""

tshark_run() {
    tshark -2 -X lua_script:"$lua" -o tcp.try_heuristic_first:TRUE -o udp.try_heuristic_first:TRUE \
        -r "$work/capture.pcapng" "$@" 2>"$work/tshark.err"
    ! grep -i 'lua' "$work/tshark.err" >&2 || fail "tshark reported Lua errors"
}
log="$work/recorder.log"

# 1. Command packets from the host on every command connection: code and
#    session id, in order.
awk '/conn [0-9]+: command [0-9]+, session/ {
        sub(":", "", $3); sub(",", "", $5); sub(",", "", $7); print $3, $5, $7 }' "$log" |
    while read -r conn code session; do
        echo "$(sed -n "s/.*conn $conn: opened over tcp from port \([0-9]*\).*/\1/p" "$log") $code $session"
    done | sort -s -k1,1n >"$work/expected-commands"
tshark_run -Y "sdvr.code && tcp.dstport == $port" -T fields -E occurrence=a -E aggregator=';' \
    -e tcp.srcport -e sdvr.code -e sdvr.session_id |
    awk -F'\t' -v ports="$(awk '{ print $1 }' "$work/expected-commands" | sort -u | tr '\n' ' ')" '
        BEGIN { n = split(ports, p, " "); for (i = 1; i <= n; ++i) command[p[i]] = 1 }
        command[$1] { n = split($2, c, ";"); split($3, s, ";"); for (i = 1; i <= n; ++i) print $1, c[i], s[i] }' |
    sort -s -k1,1n >"$work/decoded-commands"
[ -s "$work/expected-commands" ] || fail "the recorder logged no command packets"
diff "$work/expected-commands" "$work/decoded-commands" >"$work/commands.diff" ||
    { cat "$work/commands.diff" >&2; fail "decoded command packets differ from the recorder's log"; }
echo "ok: $(wc -l <"$work/expected-commands") command packets, codes and session ids as logged"

# Every login reply carries the session id the host then used.
ids="$(tshark_run -Y "sdvr.code == 51 && tcp.srcport == $port" -T fields -e sdvr.session_id | sort -u)"
[ "$ids" = "$(awk '$3 != "00000000" { print $3 }' "$work/expected-commands" | sort -u)" ] ||
    fail "login replies carry session ids '$ids'"

# 2. Frames on every media connection, and the talk bytes.
tshark_run -Y "sdvr && (tcp.srcport == $port || udp.srcport == $port)" -T fields -E occurrence=a -E aggregator=';' \
    -e tcp.dstport -e udp.dstport -e sdvr.frame.type |
    awk -F'\t' '$3 != "" { n[$1 $2] += split($3, t, ";") } END { for (p in n) print p, n[p] }' |
    sort -n >"$work/decoded-frames"
awk '/frames sent/ { sub(":", "", $3); print $3, $7 }' "$log" | while read -r conn frames; do
    echo "$(sed -n "s/.*conn $conn: opened over [a-z]* from port \([0-9]*\).*/\1/p" "$log") $frames"
done | sort -n >"$work/expected-frames"
[ "$(wc -l <"$work/expected-frames")" -eq 4 ] || fail "expected four media streams: $(cat "$work/expected-frames")"
diff "$work/expected-frames" "$work/decoded-frames" >"$work/frames.diff" ||
    { cat "$work/frames.diff" >&2; fail "decoded frame counts differ from the recorder's log"; }
echo "ok: frames per media connection as logged: $(tr '\n' ' ' <"$work/expected-frames")"

audio="$(tshark_run -Y "sdvr.audio" -T fields -E occurrence=a -E aggregator=';' -e sdvr.audio |
    tr ';' '\n' | awk '{ n += length($0) / 2 } END { print n + 0 }')"
logged_audio="$(sed -n 's/.*closed (talk, \([0-9]*\) audio bytes).*/\1/p' "$log")"
[ "$audio" = "$logged_audio" ] && [ "$audio" -gt 0 ] || fail "talk audio: decoded $audio, logged $logged_audio"
echo "ok: $audio talk audio bytes"

# 3. Nothing malformed, nothing lost; a frame cut short only where the
#    recorder saw the connection go.
bad="$(tshark_run -Y "sdvr.malformed || sdvr.gap || sdvr.lost || sdvr.search.short" | wc -l)"
[ "$bad" -eq 0 ] || fail "$bad packets flagged malformed or lost"
tshark_run -Y "sdvr.cut" -T fields -e tcp.dstport -e udp.dstport | tr -d '\t' | sort -u >"$work/cut-ports"
while read -r cut; do
    conn="$(sed -n "s/.*conn \([0-9]*\): opened over [a-z]* from port $cut\$/\1/p" "$log")"
    grep -q "conn $conn: .*frames sent.*connection gone" "$log" || fail "a frame on port $cut is cut short"
done <"$work/cut-ports"

echo "== tshark summary of the capture"
tshark_run -q -z io,phs
tshark_run -Y sdvr -T fields -E occurrence=a -E aggregator=';' -e sdvr.code |
    tr ';' '\n' | grep -v '^$' | sort -n | uniq -c | awk '{ printf "    code %3d: %d packets\n", $2, $1 }'
echo "dissector checks passed"
