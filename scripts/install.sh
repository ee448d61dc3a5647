#!/usr/bin/env bash
# Installs Vantor under a prefix: the program, the privileged network helper
# with its systemd unit, the shipped data (rules/, lang/) and a desktop entry.
# Run after scripts/build.sh, as root (or with sudo):
#
#   scripts/install.sh [PREFIX]          # default /usr/local
#   DESTDIR=/tmp/stage scripts/install.sh /usr   # staged, for packaging
#   BUILD_DIR=build-release scripts/install.sh
#
# `vantor` runs as the user. Every change to the host network (TUN interface,
# routes, DNS) is made by `vantor-helper`, a small service that serves root
# and the members of the group "vantor": a user joins it to connect
# (sudo usermod -aG vantor USER, then logs in again). Nothing gets a file
# capability or a setuid bit. A staged install (DESTDIR) creates no group and
# starts no service: that is the package's work.
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX=${1:-/usr/local}
BUILD_DIR=${BUILD_DIR:-build}
DEST=${DESTDIR:-}
binary="$BUILD_DIR/src/cli/vantor"
helper="$BUILD_DIR/src/helper/vantor-helper"
for b in "$binary" "$helper"; do
  if [ ! -x "$b" ]; then
    echo "install: $b not found; build first (scripts/build.sh)" >&2
    exit 1
  fi
done
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

bindir="$DEST$PREFIX/bin"
datadir="$DEST$PREFIX/share/vantor"
appdir="$DEST$PREFIX/share/applications"
$SUDO install -d -m 755 "$bindir" "$datadir" "$appdir"
$SUDO install -m 755 "$binary" "$bindir/vantor"
$SUDO install -m 755 "$helper" "$bindir/vantor-helper"
unitdir="$DEST/lib/systemd/system"
$SUDO install -d -m 755 "$unitdir"
sed "s|@PREFIX@|$PREFIX|g" dist/systemd/vantor-helper.service | $SUDO tee "$unitdir/vantor-helper.service" >/dev/null
$SUDO chmod 644 "$unitdir/vantor-helper.service"
# The build tree holds the generated rule files and compiled translations
# beside CMake's own files: only the data is copied.
$SUDO rm -rf "${datadir:?}/rules" "${datadir:?}/lang"
$SUDO install -d -m 755 "$datadir/rules" "$datadir/lang"
if [ -d "$BUILD_DIR/rules" ]; then
  find "$BUILD_DIR/rules" -maxdepth 1 -name '*.rules' -exec $SUDO install -m 644 {} "$datadir/rules/" \;
fi
if [ -d "$BUILD_DIR/lang" ]; then
  (cd "$BUILD_DIR/lang" && find . -path '*/LC_MESSAGES/*.mo') | while read -r mo; do
    $SUDO install -D -m 644 "$BUILD_DIR/lang/$mo" "$datadir/lang/$mo"
  done
fi
# The desktop window and its icon (the flags and the other icons are built
# into the program).
icondir="$DEST$PREFIX/share/icons/hicolor/scalable/apps"
$SUDO install -d -m 755 "$icondir"
$SUDO install -m 644 src/ui/icons/app_connected.svg "$icondir/vantor.svg"
$SUDO tee "$appdir/vantor.desktop" >/dev/null <<DESKTOP
[Desktop Entry]
Type=Application
Name=Vantor
Comment=Send the whole computer's traffic through one proxy node
Comment[zh_CN]=让整台电脑的流量通过一个代理节点
Exec=$PREFIX/bin/vantor gui
Icon=vantor
Terminal=false
Categories=Network;
StartupWMClass=vantor
DESKTOP
$SUDO chmod 644 "$appdir/vantor.desktop"

if [ -z "$DEST" ]; then
  if ! getent group vantor >/dev/null; then $SUDO groupadd --system vantor; fi
  if [ -d /run/systemd/system ]; then
    $SUDO systemctl daemon-reload
    $SUDO systemctl enable --now vantor-helper.service
  else
    echo "install: no systemd here; start the helper yourself: $PREFIX/bin/vantor-helper &" >&2
  fi
fi
echo "install: $PREFIX/bin/vantor and vantor-helper, data in $PREFIX/share/vantor"
echo "install: members of the group vantor may connect (sudo usermod -aG vantor USER, then log in again)"
