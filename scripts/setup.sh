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
  socat python3 python3-numpy python3-ephem libdigest-crc-perl openssl
  mbpoll python3-pymodbus libmodbus-dev iproute2
  zip strace lua5.4 tshark
  curl chromium
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
