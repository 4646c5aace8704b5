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
  mbpoll python3-pymodbus python3-serial-asyncio python3-can libmodbus-dev iproute2
  zip strace lua5.4 tshark nodejs
  curl chromium libssl-dev wrk nginx-light dnsmasq-base
  libmosquitto-dev mosquitto mosquitto-clients
  locales-all python3-aiosmtpd
  libxml2-utils libexpat1-dev
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

# npm peers of the system tests (Debian packages no EtherNet/IP originator,
# and drives its Chromium with none), installed at the versions
# tests/peers/package.json pins, into a folder of the work tree that git
# ignores. playwright-core fetches no browser: the tests use Debian's.
if ! command -v npm >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq npm
fi
PEERS="$(cd "$(dirname "$0")/.." && pwd)/tests/peers"
peers_missing=0
for m in $(node -e 'console.log(Object.keys(require(process.argv[1]).dependencies).join(" "))' "$PEERS/package.json"); do
  [ -f "$PEERS/node_modules/$m/package.json" ] || peers_missing=1
done
if [ "$peers_missing" -ne 0 ]; then
  npm install --prefix "$PEERS" --no-package-lock --no-audit --no-fund
fi
