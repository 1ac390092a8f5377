#!/usr/bin/env bash
# Installs what the builds and the tests need (Debian packages), when it is missing. Run as root.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libgmock-dev mingw-w64 wine wine64 xvfb xdotool
  x11-apps imagemagick clang-format python3 clang libclang-rt-14-dev)
if [ "${1:-}" = "--native" ]; then
  packages=(cmake g++ make googletest libgtest-dev libgmock-dev python3)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
