#!/usr/bin/env bash
# The Wireshark dissector on made-up conversations: edge cases of reassembly
# and hostile input, one conversation per case, all in one capture built
# with text2pcap. Each case states a display filter and how many packets of
# its conversation must match. A last case feeds random bytes and only asks
# that tshark finishes without a Lua error.
#   tests/packaging/dissector_input.sh
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/common.sh"
lua="$(cd "$here/../.." && pwd)/tools/examples/wireshark/kestrelnet.lua"
kn_need tshark text2pcap mergecap od

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Command packet in hex: cmd SESSION CODE [PAYLOAD HEX...]
cmd() {
    local session=$1 code=$2
    shift 2
    local payload="$*" n
    n=$(($(wc -w <<<"$payload") + 1))
    printf '53 44 56 52 %s %02x %02x %02x %s' "$session" $((n & 255)) $((n >> 8)) "$code" "$payload"
}
S="0a 0b 0c 0d"
Z="00 00 00 00"
login="$(cmd "$Z" 49 05 61 64 6d 69 6e 03 70 77 64)"
keepalive="$(cmd "$S" 56 00 00 00 00 00 00 00 00 00 00 00 00 28 00)"
open_live="$(cmd "$S" 57 01 00)"
live_ok="$(cmd "$S" 59 00 00 00 00 00 00 00)"
frame10="02 0a 00 00 4b 56 00 00 00 00 00 01 09 10"
random_hex() { head -c "$1" /dev/urandom | od -An -v -tx1 | tr -s ' \n' ' '; }

# name | transport | display filter | packets that must match | packets:
# H (host to recorder) or R (recorder to host), then the bytes, ';' between packets
cases="$(cat <<TABLE
split_command|tcp|sdvr.login.user == "admin" && !sdvr.malformed|1|H ${login:0:17};H ${login:18}
two_in_one_segment|tcp|count(sdvr.code) == 2|1|H $keepalive $(cmd "$S" 53)
length_zero|tcp|sdvr.malformed|1|H 53 44 56 52 $S 00 00 35
length_too_large_then_recovers|tcp|sdvr.malformed or sdvr.code == 53|2|H 53 44 56 52 $S ff ff 35 01 02;H $(cmd "$S" 53)
user_name_past_end|tcp|sdvr.malformed|1|H $(cmd "$Z" 49 20 61 64)
search_reply_short|tcp|sdvr.search.short && count(sdvr.search.record) == 1|1|H $(cmd "$S" 69 18 05 01 01 00);R $(cmd "$S" 71 03 00 00 00 00 08 00 00 08 09 3b 01 01 00 00)
frame_in_three_segments|tcp|sdvr.frame.length == 10 && !sdvr.cut|1|H $open_live;R $live_ok;R ${frame10:0:20};R ${frame10:21:11};R ${frame10:33}
frame_ends_then_two_whole_frames|tcp|count(sdvr.frame.type) == 3 && all sdvr.frame.type == 2 && all sdvr.frame.length == 10|1|H $open_live;R $live_ok;R ${frame10:0:20};R ${frame10:21} $frame10 $frame10
frames_after_reply_same_segment|tcp|count(sdvr.frame.type) == 2|1|H $open_live;R $live_ok $frame10 $frame10
frame_short_length_takes_four|tcp|count(sdvr.frame.type) == 2|1|H $open_live;R $live_ok;R 01 01 00 00 aa bb cc dd 01 02 00 00 aa bb cc dd
frame_bad_type|tcp|sdvr.malformed|1|H $open_live;R $live_ok;R 07 04 00 00 01 02 03 04
frame_too_long|tcp|sdvr.malformed|1|H $open_live;R $live_ok;R 02 01 71 02 01 02 03 04
frame_cut_at_end|tcp|sdvr.cut && !sdvr.frame.type|1|H $open_live;R $live_ok;R 02 00 10 00 $(random_hex 100)
frame_cut_header_at_end|tcp|sdvr.cut|1|H $open_live;R $live_ok;R 02 00
garbage_on_command_channel|tcp|sdvr.malformed|1|H $(cmd "$S" 53);H 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a
talk_audio|tcp|sdvr.audio|2|H $(cmd "$S" 35);R $(cmd "$S" 37);H 01 02 03 04 05;H 06 07 08
udp_frame_over_datagrams|udp|sdvr.frame.length == 10 && !sdvr.gap|1|H $open_live;R $live_ok;R 00 00 07 00 ${frame10:0:20};R 00 00 08 00 ${frame10:21}
udp_sequence_wraps|udp|sdvr.frame.type && !sdvr.gap|1|H $open_live;R $live_ok;R 00 00 ff ff ${frame10:0:20};R 00 00 00 00 ${frame10:21}
udp_gap_gives_frame_up|udp|sdvr.gap|1|H $open_live;R $live_ok;R 00 00 07 00 ${frame10:0:20};R 00 00 09 00 ${frame10:21}
udp_repeat_gives_frame_up|udp|sdvr.gap|1|H $open_live;R $live_ok;R 00 00 07 00 ${frame10:0:20};R 00 00 07 00 ${frame10:21}
udp_short_datagram|udp|sdvr.malformed|1|H $open_live;R $live_ok;R 00 07
random_tcp|tcp|sdvr|-1|H $open_live;R $live_ok;R $(random_hex 300);R $(random_hex 1000);H $(random_hex 50);R $(random_hex 4000)
random_command|tcp|sdvr|-1|H $login;R $(random_hex 20);R 53 44 56 52 $(random_hex 400);H 53 44 56 52 ff ff ff ff ff ff $(random_hex 200)
random_udp|udp|sdvr|-1|H $open_live;R $live_ok;R $(random_hex 3);R $(random_hex 900);R $(random_hex 1);R 53 44 56 52 $(random_hex 5)
TABLE
)"

port=41000
pcaps=()
while IFS='|' read -r name transport _ _ packets; do
    ((++port))
    : >"$work/$name.txt"
    IFS=';' read -ra list <<<"$packets"
    for p in "${list[@]}"; do
        dir=I
        [ "${p:0:1}" = R ] && dir=O
        echo "$dir 000000 ${p:2}" >>"$work/$name.txt"
    done
    if [ "$transport" = tcp ]; then flag=-T; else flag=-u; fi
    text2pcap -q -D "$flag" "$port,5050" -4 127.0.0.1,127.0.0.1 "$work/$name.txt" "$work/$name.pcap" >/dev/null 2>&1 ||
        fail "text2pcap for $name"
    pcaps+=("$work/$name.pcap")
done <<<"$cases"
mergecap -a -w "$work/all.pcap" "${pcaps[@]}" >/dev/null

run() {
    timeout 60 tshark -2 -X lua_script:"$lua" -o tcp.try_heuristic_first:TRUE -o udp.try_heuristic_first:TRUE \
        -r "$work/all.pcap" "$@" 2>"$work/tshark.err" || fail "tshark failed or hung: $(cat "$work/tshark.err")"
    ! grep -qi 'lua' "$work/tshark.err" || fail "Lua error: $(cat "$work/tshark.err")"
}
run -V >"$work/all.txt"
grep -q 'undecodable' "$work/all.txt" && fail "the dissector raised an error: $(grep -m3 undecodable "$work/all.txt")"

failed=0
port=41000
while IFS='|' read -r name transport filter want _; do
    ((++port))
    [ "$want" -lt 0 ] && continue
    got="$(run -Y "$transport.port == $port && ($filter)" | wc -l)"
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $name: '$filter' matched $got packets, not $want" >&2
        failed=1
    else
        echo "ok: $name"
    fi
done <<<"$cases"
[ "$failed" -eq 0 ] || exit 1
echo "dissector input checks passed"
