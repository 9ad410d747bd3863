#!/usr/bin/env bash
# Debian packages: make them with CPack, check their fields and contents,
# run lintian (no errors allowed), and run the packaged tools from an
# unpacked tree.
#   tests/packaging/debian.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/common.sh"
build="$(cd "${1:?usage: debian.sh BUILD_DIR}" && pwd)"
kn_need cpack dpkg-deb dpkg-shlibdeps lintian fakeroot file

work="$(mktemp -d)"
recorder_pid=""
cleanup() {
    [ -n "$recorder_pid" ] && kn_stop "$recorder_pid"
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }

deb_of() {
    local found
    found="$(find "$build/packages" -maxdepth 1 -name "$1_*.deb" | head -n 1)"
    [ -n "$found" ] || fail "no package $1 made"
    echo "$found"
}
field() { dpkg-deb -f "$1" "$2"; }

# The gateway's unit and example come with a kestrel that has the gateway.
gateway_files=""
if "$build/tools/kestrel" gateway --help >/dev/null 2>&1; then
    gateway_files=",./usr/lib/systemd/system/kestrel-gateway.service,./usr/share/doc/kestrel-tools/examples/gateway.yaml"
fi

# package  section  a file it must hold  a file it must not hold
while read -r package section must_have must_not; do
    must_have="$(eval echo "$must_have")"
    deb="$(deb_of "$package")"
    [ "$(field "$deb" Section)" = "$section" ] || fail "$package: section $(field "$deb" Section)"
    [ -n "$(field "$deb" Description | sed -n 2p)" ] || fail "$package: no long description"
    contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
    for path in ${must_have//,/ } ./usr/share/doc/$package/copyright ./usr/share/doc/$package/changelog.gz; do
        grep -qxF "$path" <<<"$contents" || fail "$package lacks $path"
    done
    for path in ${must_not//,/ }; do
        ! grep -qxF "$path" <<<"$contents" || fail "$package must not hold $path"
    done
    # Every package says it is under the MIT licence (Debian's name: Expat).
    # (Read whole first: a grep -q that ends the pipe early would fail it under pipefail.)
    copyright="$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright")"
    grep -qx 'License: Expat' <<<"$copyright" || fail "$package: its copyright file names no MIT (Expat) licence"
    echo "== $(basename "$deb")"
    dpkg-deb -c "$deb" | awk '{ print "   ", $1, $6, $7, $8 }'
done <<'TABLE'
libkestrelnet1 libs ./usr/lib/libkestrelnet.so.1.0.0.13,./usr/lib/libkestrelnet.so.1,./usr/lib/kestrelnet/1.0.0.1/libkestrelnet.so.1.0.0.1,./usr/lib/kestrelnet/1.0.0.1/libkestrelnet.so.1 ./usr/lib/libkestrelnet.so,./usr/include/kestrelnet/kestrelnet.h,./usr/include/kestrelnet/exports.h
libkestrelnet-dev libdevel ./usr/include/kestrelnet/kestrelnet.h,./usr/include/kestrelnet/exports.h,./usr/share/man/man3/kestrelnet.3.gz,./usr/lib/libkestrelnet.so,./usr/lib/kestrelnet/1.0.0.1/libkestrelnet.so,./usr/lib/pkgconfig/kestrelnet.pc,./usr/lib/pkgconfig/kestrelnet-1.0.0.1.pc,./usr/lib/cmake/kestrelnet/kestrelnetConfig.cmake,./usr/lib/cmake/kestrelnet/kestrelnetConfigVersion.cmake,./usr/share/doc/libkestrelnet-dev/examples/main.c ./usr/lib/libkestrelnet.so.1.0.0.13
kestrel-tools video ./usr/bin/kestrel,./usr/bin/kestrel-recorder,./usr/share/kestrelnet/sample.h264,./usr/share/kestrelnet/sample30.h264,./usr/share/man/man1/kestrel.1.gz,./usr/share/man/man1/kestrel-recorder.1.gz${gateway_files} ./usr/lib/libkestrelnet.so.1
TABLE

# Dependencies: computed from the binaries, and the tools need the library.
runtime="$(deb_of libkestrelnet1)"
tools="$(deb_of kestrel-tools)"
dev="$(deb_of libkestrelnet-dev)"
grep -q 'libc6' <<<"$(field "$runtime" Depends)" || fail "libkestrelnet1 depends on '$(field "$runtime" Depends)'"
grep -q 'libstdc++6' <<<"$(field "$tools" Depends)" || fail "kestrel-tools depends on '$(field "$tools" Depends)'"
grep -q 'libkestrelnet1 (= ' <<<"$(field "$tools" Depends)" || fail "kestrel-tools does not depend on libkestrelnet1"
grep -q 'libkestrelnet1 (= ' <<<"$(field "$dev" Depends)" || fail "libkestrelnet-dev does not depend on libkestrelnet1"
# A gateway built with MQTT needs the broker client's library.
if ldd "$build/tools/kestrel" 2>/dev/null | grep -q libmosquitto; then
    grep -q 'libmosquitto1' <<<"$(field "$tools" Depends)" || fail "kestrel-tools does not depend on libmosquitto1"
fi
# A gateway built with ONVIF needs libxml2, which reads its requests.
if ldd "$build/tools/kestrel" 2>/dev/null | grep -q libxml2; then
    grep -q 'libxml2' <<<"$(field "$tools" Depends)" || fail "kestrel-tools does not depend on libxml2"
fi
# With the gateway: the GStreamer plugins its pipelines are made of are
# Depends (an install without recommends must play), and the maintainer
# scripts register its unit on install and stop it on removal. They run
# here against stand-ins for systemd's helpers that log what they are asked.
if [ -n "$gateway_files" ]; then
    depends="$(field "$tools" Depends)"
    for plugin in gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav \
        gstreamer1.0-nice; do
        grep -qE "(^|, )$plugin(,|$| )" <<<"$depends" || fail "kestrel-tools does not depend on $plugin: '$depends'"
        ! grep -qE "(^|, )$plugin(,|$| )" <<<"$(field "$tools" Recommends)" || fail "$plugin is only recommended"
    done
    dpkg-deb -e "$tools" "$work/control"
    mkdir -p "$work/stubs"
    for helper in deb-systemd-helper deb-systemd-invoke systemctl; do
        printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$helper" "$work/calls" >"$work/stubs/$helper"
        chmod +x "$work/stubs/$helper"
    done
    run_script() {  # script arguments...
        local script="$1"
        shift
        [ -x "$work/control/$script" ] || fail "kestrel-tools has no executable $script"
        : >"$work/calls"
        PATH="$work/stubs:$PATH" "$work/control/$script" "$@" || fail "$script $* failed"
    }
    run_script postinst configure
    grep -qx 'deb-systemd-helper enable kestrel-gateway.service' "$work/calls" ||
        fail "postinst configure does not enable the unit: $(cat "$work/calls")"
    run_script postrm purge
    grep -qx 'deb-systemd-helper purge kestrel-gateway.service' "$work/calls" ||
        fail "postrm purge does not purge the unit: $(cat "$work/calls")"
    # Starting and stopping go through systemd only where it runs.
    if [ -d /run/systemd/system ]; then
        run_script postinst configure
        grep -qx 'deb-systemd-invoke start kestrel-gateway.service' "$work/calls" ||
            fail "postinst does not start the unit: $(cat "$work/calls")"
        run_script prerm remove
        grep -qx 'deb-systemd-invoke stop kestrel-gateway.service' "$work/calls" ||
            fail "prerm remove does not stop the unit: $(cat "$work/calls")"
    else
        grep -q 'deb-systemd-invoke stop kestrel-gateway.service' "$work/control/prerm" ||
            fail "prerm does not stop the unit"
        run_script prerm remove
    fi
    echo "== kestrel-tools: plugins depended on, unit registered on install and stopped on removal"
fi
shlibs="$(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs 2>/dev/null || true)"
grep -q '^libkestrelnet 1 libkestrelnet1' <<<"$shlibs" ||
    fail "libkestrelnet1 has no shlibs entry"
for deb in "$runtime" "$dev" "$tools"; do
    echo "== $(basename "$deb"): $(field "$deb" Depends)"
done

# lintian: errors fail the check; warnings are shown.
lintian --tag-display-limit 0 "$runtime" "$dev" "$tools" >"$work/lintian.txt" 2>&1 || true
echo "== lintian"
cat "$work/lintian.txt"
if grep -q '^E:' "$work/lintian.txt"; then
    fail "lintian reports errors"
fi

# The packaged tools, unpacked: they start, and the recorder finds the
# packaged clip on its own.
for deb in "$runtime" "$tools"; do
    dpkg-deb -x "$deb" "$work/root"
done
export LD_LIBRARY_PATH="$work/root/usr/lib"
export XDG_CONFIG_HOME="$work/config"
"$work/root/usr/bin/kestrel" --help >/dev/null || fail "packaged kestrel --help"

# The gateway's unit: systemd-analyze finds nothing to say about it (a
# misspelt key or a bad value is only a warning to it, so any output fails),
# with ExecStart on the unpacked kestrel, and the packaged example site file
# is one the gateway reads.
if [ -n "$gateway_files" ]; then
    if command -v systemd-analyze >/dev/null; then
        unit="$work/kestrel-gateway.service"
        sed "s#/usr/bin/kestrel#$work/root/usr/bin/kestrel#" \
            "$work/root/usr/lib/systemd/system/kestrel-gateway.service" >"$unit"
        verify="$(systemd-analyze verify --man=no "$unit" 2>&1)" || fail "systemd-analyze verify: $verify"
        [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
        grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "the unit does not reload with SIGHUP"
        grep -qx 'DynamicUser=yes' "$unit" || fail "the unit does not run as an unprivileged user"
        echo "== kestrel-gateway.service: systemd-analyze verify passed"
    elif [ "${CI:-}" = "true" ]; then
        fail "systemd-analyze is missing"
    fi
    example="$work/root/usr/share/doc/kestrel-tools/examples/gateway.yaml"
    sed -i "s#/etc/kestrelnet/hall.password#$work/hall.password#" "$example"
    echo secret >"$work/hall.password"
    out="$(KESTREL_RTSP_PASSWORD=x YARD_PASSWORD=y KESTREL_MQTT_PASSWORD=z timeout 10 "$work/root/usr/bin/kestrel" gateway \
        --config "$example" --check 2>&1)" || fail "packaged example site file: $out"
    echo "== $out"
fi
described="$(file "$work/root/usr/bin/kestrel")"
grep -q ', stripped' <<<"$described" || fail "kestrel not stripped"
kn_start_recorder "$work/root/usr/bin/kestrel-recorder" "$work/recorder.log" || fail "packaged recorder did not start"
recorder_pid=$KN_RECORDER_PID
grep -qF "from $work/root/usr/bin/../share/kestrelnet/sample.h264" "$work/recorder.log" ||
    fail "packaged recorder did not take the packaged clip: $(cat "$work/recorder.log")"
timeout 30 "$work/root/usr/bin/kestrel" login -p "$KN_PORT" >/dev/null || fail "packaged kestrel login"
echo "debian checks passed"
