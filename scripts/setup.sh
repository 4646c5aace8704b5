#!/usr/bin/env bash
# Installs what building, running and testing the firmware needs on a Debian
# machine, every peer program the tests talk to included (a test whose peer
# is missing fails). Python peers run under /usr/bin/python3, so their
# modules come from Debian packages. Skips apt-get when everything is already
# there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libtommath-dev
  socat python3 python3-numpy python3-crcmod python3-ephem libdigest-crc-perl openssl
  mbpoll python3-pymodbus libmodbus-dev iproute2
  zip strace lua5.4 tshark nodejs
  curl chromium libssl-dev wrk nginx-light dnsmasq-base
  locales-all
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# npm peers of the system tests (Debian packages no EtherNet/IP originator),
# installed at the versions tests/peers/package.json pins, into a folder of
# the work tree that git ignores.
if ! command -v npm >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq npm
fi
PEERS="$(cd "$(dirname "$0")/.." && pwd)/tests/peers"
if [ ! -f "$PEERS/node_modules/st-ethernet-ip/package.json" ]; then
  npm install --prefix "$PEERS" --no-package-lock --no-audit --no-fund
fi
