#!/usr/bin/env bash
# Sets everything up, builds the Updater and shows its main job end to end:
# a stand-in update server on loopback offers two firmware builds for a
# device; the Updater lists them, downloads the newest into a local store,
# lists the store and fetches the device's feature token. Nothing leaves the
# machine: the server listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target Updater birdtool update-server

bin=build/app/Updater
birdtool=build/tools/birdtool/birdtool
server=build/sim/update-server/update-server
demo=build/demo
rm -rf "${demo}"
mkdir -p "${demo}/catalog"

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@" || true; }

# Two builds of firmware for a Corvane module, packed as BIRD files.
serial=40F5849A
head -c 4096 /dev/urandom > "${demo}/loader.bin"
for b in "2001 2.12.1" "2002 2.12.4"; do
  set -- ${b}
  head -c 65536 /dev/urandom > "${demo}/fw-$1.bin"
  cat > "${demo}/fw-$1.manifest" <<MANIFEST
build $1
version $2
serial 00000000
model Corvane
serial-offsets 0x400 0x500
loader 0x10000000 loader.bin
firmware 0x00000000 fw-$1.bin
MANIFEST
  "${birdtool}" pack "${demo}/fw-$1.manifest" "${demo}/catalog/corvane-$1.bird"
done
echo "${serial} Corvane stream,i2c 1:2:3:4" > "${demo}/devices"

"${server}" --catalog "${demo}/catalog" --devices "${demo}/devices" \
  --secret demo-secret --port 0 > "${demo}/server.log" 2>&1 &
server_pid=$!
trap 'kill ${server_pid} 2>/dev/null || true; wait ${server_pid} 2>/dev/null || true' EXIT
url=""
for _ in $(seq 1 100); do
  url=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "${demo}/server.log" | head -n1)
  [ -n "${url}" ] && break
  sleep 0.1
done
[ -n "${url}" ] || { cat "${demo}/server.log"; echo "update-server did not start" >&2; exit 1; }
echo "Stand-in update server at ${url}; local store under ${demo}/updater"

step "${bin}" -B -d "${serial}" -u "${url}" -i "${demo}"
step "${bin}" -G -d "${serial}" -u "${url}" -i "${demo}"
step "${bin}" -L -d "${serial}" -u "${url}" -i "${demo}"
step "${bin}" -J -d "${serial}" -u "${url}" -i "${demo}"
step cat "${demo}/updater/${serial}/.settings"
step "${birdtool}" info "${demo}/updater/${serial}/2002.bird"
step "${bin}" -h
