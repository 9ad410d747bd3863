#!/bin/sh
# Builds msvc_host.c the way an MSVC host is built (clang for the
# *-windows-msvc target, lld-link with its default /SAFESEH on 32-bit) against
# kestrelnet.lib, then runs it under Wine beside kestrelnet.dll.
#
#   run_msvc_host_test.sh <clang> <lld-link> <wine> <i686|x86_64> <lib dir> <source dir>
set -eu
clang=$1 lld_link=$2 wine=$3 arch=$4 libdir=$5 srcdir=$6
case $arch in
    i686) target=i686-pc-windows-msvc machine=x86 ;;
    *) target=x86_64-pc-windows-msvc machine=x64 ;;
esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The header compiles as C++ too.
"$clang" --target=$target -ffreestanding -Wall -Werror -fsyntax-only -x c++ -I "$srcdir" \
    "$srcdir/tests/win32/msvc_host.c"
"$clang" --target=$target -ffreestanding -O1 -Wall -Werror -c -I "$srcdir" \
    "$srcdir/tests/win32/msvc_host.c" -o "$work/msvc_host.obj"
"$lld_link" /nologo /entry:HostEntry /subsystem:console /nodefaultlib /machine:$machine \
    /out:"$work/msvc_host.exe" "$work/msvc_host.obj" "$libdir/kestrelnet.lib"
cp "$libdir/kestrelnet.dll" "$work/"
"$wine" "$work/msvc_host.exe"
