#!/usr/bin/env bash
# Fetches Debian's source package of lwIP into .deps/lwip (or $1), which git
# ignores. The tunnel's build copies it, applies our patch to the copy and
# compiles it with our own lwipopts.h; nothing of lwIP is committed.
#
# scripts/add-deb-src.sh makes sure apt knows the source package.
# Safe to run again: an existing copy is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
DEST=${1:-.deps/lwip}

if [ -f "$DEST/src/core/tcp_in.c" ] && [ -f "$DEST/src/include/lwip/init.h" ]; then
  exit 0
fi

"$(dirname "$0")/add-deb-src.sh" lwip

command -v dpkg-source >/dev/null || {
  echo "fetch-lwip: dpkg-source is missing (package dpkg-dev): run scripts/setup.sh" >&2
  exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as root without its sandbox user when the folder is not
# writable by _apt; let it write there.
chmod 0777 "$work"
(cd "$work" && apt-get source -qq lwip >/dev/null)
unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'lwip-*' | head -n 1)
if [ -z "$unpacked" ] || [ ! -f "$unpacked/src/core/tcp_in.c" ]; then
  echo "fetch-lwip: apt-get source lwip did not unpack the sources" >&2
  exit 1
fi
mkdir -p "$(dirname "$DEST")"
rm -rf "$DEST"
mv "$unpacked" "$DEST"
echo "fetch-lwip: lwIP sources in $DEST"
