#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent:
# when everything is present it only checks and returns.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config
  libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
  libczmq-dev libzmq3-dev libudev-dev
  libgtest-dev libgmock-dev
  # tests and tools
  python3 python3-zmq python3-crcmod python3-serial curl openssl libcpp-httplib-dev
  libssl-dev
  iproute2 procps
  # packaging test: cpack -G DEB, man pages
  dpkg-dev binutils groff-base man-db
  # third-party boot-ROM tools the boot-ROM simulators are tested with
  lpc21isp imx-usb-loader
  # virtual USB and HID devices (simulators and their tests)
  umockdev libumockdev-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
