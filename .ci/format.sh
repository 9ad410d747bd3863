#!/usr/bin/env bash
# CI: every C and C++ source the project tracks is laid out as .clang-format
# says. The public header is the exception: it is laid out by hand for the
# hosts that read it, one parameter group a line, and it is the text of the
# kestrelnet(3) manual page. Fuzz corpora are data, not code.
# Prints each file that differs and how to mend it; fails if any does.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== Format (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
clang-format --dump-config >/dev/null  # a .clang-format it cannot read fails here
mapfile -t files < <(git ls-files '*.h' '*.c' '*.cpp' | grep -v -e '^fuzz/corpus/' -e '^api/exports\.h$')
# One clang-format for all files; it names each place that differs.
mapfile -t bad < <(clang-format --dry-run "${files[@]}" 2>&1 |
    sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: \(error\|warning\): code should be clang-formatted.*/\1/p' | sort -u)
if [ "${#bad[@]}" -gt 0 ]; then
    printf 'not formatted: %s\n' "${bad[@]}"
    echo "mend with: clang-format -i FILE (clang-format 14, .clang-format at the root)"
    exit 1
fi
echo "${#files[@]} files formatted"
