#!/usr/bin/env bash
# Installs what the builds and the tests need (Debian packages), when it is missing. Run as root.
#   scripts/setup.sh            everything, also Wine's 32-bit loader (wine32:i386)
#   scripts/setup.sh --native   only what the native build and its tests need
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libgmock-dev mingw-w64 wine wine64 xvfb xdotool
  x11-apps imagemagick clang-format python3 clang libclang-rt-14-dev)
native=0
if [ "${1:-}" = "--native" ]; then
  native=1
  packages=(cmake g++ make googletest libgtest-dev libgmock-dev python3)
fi
export DEBIAN_FRONTEND=noninteractive

updated=0
update() {
  if [ "$updated" = 0 ]; then
    updated=1
    # An index that fails to download (a mirror's size mismatch, say) must not stop the
    # others: apt-get then goes on with the lists it has.
    apt-get update -qq || echo "setup: apt-get update failed for some index; going on" >&2
  fi
}
# Never removes a package: an install that would remove one (wine64, say) fails instead.
install() {
  apt-get install -y -qq --no-install-recommends --no-remove "$@" >/dev/null
}

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  update
  install "${missing[@]}"
fi
[ "$native" = 1 ] && exit 0

# Wine's 32-bit loader, for the 32-bit release in a 32-bit prefix and under WoW64. The loaders
# live in /usr/lib/wine; the wine wrapper on PATH starts the 32-bit one first.
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
works() { [ -x "$1" ] && "$1" --version >/dev/null 2>&1; }
if ! works "$wine32"; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=0
  fi
  update
  echo "setup: installing wine32:i386"
  # Multiarch needs the same version of a library for both architectures. When an i386 index
  # (of bookworm-security, say) did not download, an installed amd64 library may be newer than
  # any i386 one, and apt would rather remove it (and Wine with it) than install its twin. Then
  # take the packages from the release itself (-t) and follow apt's explanation: an i386
  # library "not going to be installed" is named, and an amd64 library that would be removed,
  # or that "Breaks" its i386 twin, is brought back to the version both architectures have.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  twin_version() { # the version of $1 that both architectures have, newest first
    local v
    for v in $(apt-cache madison "$1:i386" | awk -F'|' '{gsub(/ /, "", $2); print $2}'); do
      apt-cache madison "$1:amd64" | awk -F'|' '{gsub(/ /, "", $2); print $2}' | grep -qxF "$v" &&
        { echo "$v"; return 0; }
    done
    return 1
  }
  matched() {
    local names=(wine32:i386) out found name v
    for _ in $(seq 12); do
      install -t "$codename" --allow-downgrades "${names[@]}" 2>/dev/null && return 0
      out=$(apt-get install -s --no-install-recommends --no-remove -t "$codename" \
        --allow-downgrades "${names[@]}" 2>&1) || true
      found=$(
        sed -nE -e 's/^ *([^ :]+) : Breaks: \1:i386 .*/\1/p' \
          -e 's/.*Depends: ([^ ]+:i386)( \([^)]*\))? but it is not going to be installed.*/\1/p' \
          <<<"$out"
        sed -n '/will be REMOVED:/,/^[^ ]/{/^ /p}' <<<"$out" | tr ' ' '\n'
      )
      local more=()
      for name in $(sort -u <<<"$found"); do
        if [[ "$name" != *:i386 ]] && v=$(twin_version "${name%:amd64}"); then
          name="${name%:amd64}"
          [[ " ${names[*]} " == *" $name:i386 "* ]] || more+=("$name:i386")
          name="$name:amd64=$v"
        fi
        [[ " ${names[*]} ${more[*]} " == *" $name "* ]] || more+=("$name")
      done
      [ ${#more[@]} -gt 0 ] || return 1
      echo "setup: naming ${more[*]} for the resolver" >&2
      names+=("${more[@]}")
    done
    return 1
  }
  install wine32:i386 2>/dev/null ||
    { [ -n "$codename" ] && matched; } ||
    { echo "setup: wine32:i386 could not be installed" >&2; exit 1; }
fi
for loader in "$wine32" "$wine64"; do
  if ! works "$loader"; then
    echo "setup: $loader does not start after installing wine32" >&2
    exit 1
  fi
done
