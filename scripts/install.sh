#!/usr/bin/env bash
# Installs Vantor under a prefix: the program, its shipped data (rules/,
# lang/) and a desktop entry. Run after scripts/build.sh, as root (or with
# sudo):
#
#   scripts/install.sh [PREFIX]          # default /usr/local
#   DESTDIR=/tmp/stage scripts/install.sh /usr   # staged, for packaging
#   BUILD_DIR=build-release scripts/install.sh
#
# The installed program gets the capabilities that connecting needs, so a
# normal user connects without a password (root keeps working as before):
#   cap_net_admin     the TUN interface, routes, addresses, systemd-resolved
#   cap_net_raw       the node tester's ICMP echo where unprivileged echo
#                     sockets are not allowed
#   cap_dac_override  /etc/resolv.conf on hosts without systemd-resolved
# No password is stored anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
PREFIX=${1:-/usr/local}
BUILD_DIR=${BUILD_DIR:-build}
DEST=${DESTDIR:-}
binary="$BUILD_DIR/src/cli/vantor"
if [ ! -x "$binary" ]; then
  echo "install: $binary not found; build first (scripts/build.sh)" >&2
  exit 1
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

bindir="$DEST$PREFIX/bin"
datadir="$DEST$PREFIX/share/vantor"
appdir="$DEST$PREFIX/share/applications"
$SUDO install -d -m 755 "$bindir" "$datadir" "$appdir"
$SUDO install -m 755 "$binary" "$bindir/vantor"
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

caps="cap_net_admin,cap_net_raw,cap_dac_override+ep"
if ! command -v setcap >/dev/null 2>&1; then
  echo "install: setcap not found (Debian package libcap2-bin); only root can connect" >&2
elif ! $SUDO setcap "$caps" "$bindir/vantor"; then
  echo "install: could not set $caps on $bindir/vantor (file system without capabilities?); only root can connect" >&2
fi
echo "install: $PREFIX/bin/vantor, data in $PREFIX/share/vantor"
