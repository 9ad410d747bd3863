#!/usr/bin/env bash
# CI: what the gateway's browser tests need, installed before the first
# configure so that CTest registers them: Debian's Chromium (the headless
# shell) and Firefox ESR (which decodes H.264 with the libavcodec that
# gateway.sh's ffmpeg brings), Node.js and npm when the machine has none, and
# puppeteer-core from the npm registry at the version of
# tests/web/package-lock.json (it never downloads a browser of its own).
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${CI:-}" != "true" ]]; then
    echo "== browser test packages: not CI, leaving the machine's packages as they are"
    [ -d tests/web/node_modules/puppeteer-core ] ||
        echo "   (the browser tests need: apt-get install chromium-headless-shell firefox-esr; npm ci --prefix tests/web)"
    exit 0
fi
echo "== browser test packages"
. .ci/apt.sh
ci_apt_update
packages=(chromium-headless-shell firefox-esr fonts-dejavu-core libnss3-tools)  # certutil: the HTTPS page test's CA
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
ci_apt_install "${packages[@]}"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefix tests/web --no-audit --no-fund
