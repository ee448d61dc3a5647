#!/usr/bin/env bash
# Installs everything Vantor needs to build, test and benchmark on a fresh
# Debian 12 machine. Safe to run again: apt skips what is already there.
set -euo pipefail

PACKAGES=(
  # build, and the format check of the tree
  build-essential cmake ninja-build pkg-config git clang-format
  libcrypto++-dev libsodium-dev libcurl4-openssl-dev libjsoncpp-dev
  libcli11-dev libsimpleini-dev libgeoip-dev geoip-database
  # Clash YAML subscriptions; QR codes of share links
  libyaml-cpp-dev libqrencode-dev
  # Shadowsocks plugins the tests run as peers (obfs-local/obfs-server and
  # ss-v2ray-plugin), and a QR decoder to read back the window's codes
  simple-obfs shadowsocks-v2ray-plugin zbar-tools
  # tests and benchmarks
  libgtest-dev libbenchmark-dev python3
  curl dante-server microsocks shadowsocks-libev iproute2
  # packet tunnel: lwIP comes as Debian's source package (unpacked with
  # dpkg-source, patched at build time); ping and iptables for the end-to-end
  # tests and the tunnel benchmark (ss-redir behind a REDIRECT rule)
  dpkg-dev patch xz-utils iputils-ping iptables
  # UDP path: a DNS server and a DNS client for the end-to-end tests and the
  # DNS benchmark
  dnsmasq-base bind9-dnsutils
  # application shell: HTTP request parser, desktop proxy settings
  # (gsettings and its schemas), setcap for the installed binary, and node to
  # evaluate the served proxy script in tests
  libhttp-parser-dev gettext libglib2.0-bin gsettings-desktop-schemas libcap2-bin nodejs
  # host network configuration: sd-bus for systemd-resolved (the INI library
  # and the country database the rule files are generated from are above)
  libsystemd-dev
  # a private D-Bus for the systemd-resolved tests
  dbus-daemon
  # desktop window: Qt 6 Widgets and SVG, the country flags (public domain);
  # its tests run a virtual X server with a window manager, with and without
  # a system tray host, and look at the windows from outside
  qt6-base-dev qt6-svg-dev famfamfam-flag-png xvfb openbox trayer wmctrl x11-utils
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # Package scripts may try to start daemons (danted, ss-server); the tests
  # start their own instances, so a refused service start is harmless here.
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The distribution packages enable system-wide daemons; the tests run their
# own copies on free ports, so make sure stray system instances do not hold
# the well-known ports.
for svc in danted shadowsocks-libev; do
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
    $SUDO systemctl stop "$svc" || true
  fi
done
# lwIP: Debian's source package, unpacked into .deps/lwip (git-ignored).
"$(dirname "$0")/fetch-lwip.sh"
echo "setup: done"
