#!/usr/bin/env bash
# Sets everything up, builds the Updater and shows its main job end to end:
# simulated Tarnix modules (one on USB, one on TCP/IP, one behind a routing
# module) and a stand-in update server offering a newer firmware build. The
# Updater discovers the modules, downloads the build, writes it into each
# module (plainly and with UEI byte sequences) and discovers them again to
# show the new version. Nothing leaves the machine: the modules and the
# server run inside a private network namespace (scripts/netns-run.sh), the
# USB devices are virtual (umockdev).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--inside" ]; then
  bash scripts/setup.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build build -j"$(nproc)" --target Updater birdtool update-server tarnix-sim
  exec bash scripts/netns-run.sh bash "$0" --inside
fi

bin=build/app/Updater
birdtool=build/tools/birdtool/birdtool
server=build/sim/update-server/update-server
sim=build/sim/tarnix-sim/tarnix-sim
demo=build/demo
rm -rf "${demo}"
mkdir -p "${demo}/catalog"

# Two firmware builds for Ristova modules. Each image carries the identity
# record the simulated module reports once it runs the image.
head -c 2048 /dev/urandom > "${demo}/loader.bin"
for b in "2001 2.15.0" "2002 2.16.1"; do
  set -- ${b}
  /usr/bin/python3 sim/tarnix-sim/make_test_image.py "${demo}/fw-$1.bin" --version "$2" --build "$1" \
    --size 32768 --load-address 0x08000000 --serial-offset 128
  cat > "${demo}/fw-$1.manifest" <<MANIFEST
build $1
version $2
serial 00000000
model Ristova
serial-offsets 0x08000080 0x08000100
loader 0x20000000 loader.bin
firmware 0x08000000 fw-$1.bin
MANIFEST
  "${birdtool}" pack "${demo}/fw-$1.manifest" "${demo}/catalog/ristova-$1.bird" > /dev/null
done
printf '%s Ristova\n' 40F5849A 1A2B3C4D D272031D 2181F0EE > "${demo}/devices"

cat > "${demo}/modules.ini" <<'INI'
[module bench-usb]
serial = 0x40F5849A
model = 17
version = 2.15.0
build = 2001
name = Bench USB
transport = usb
flash_base = 0x08000000

[module lab-net]
serial = 0x1A2B3C4D
model = 17
version = 2.15.0
build = 2001
name = Lab TCP
flash_base = 0x08000000
features = 0x80000000

[module router]
serial = 0xD272031D
model = 17
address = 4
version = 2.15.0
build = 2001
name = Router

[module behind]
router = router
i2c_address = 0x10
serial = 0x2181F0EE
model = 17
version = 2.15.0
build = 2001
name = Behind router
flash_base = 0x08000000
INI

pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT

"${server}" --catalog "${demo}/catalog" --devices "${demo}/devices" \
  --secret demo-secret --port 0 > "${demo}/server.log" 2>&1 &
pids+=($!)
"${sim}" --usb --discovery --bind 10.77.0.1 --state "${demo}/state" --log "${demo}/sim.log" \
  --ready-file "${demo}/sim.ready" "${demo}/modules.ini" > /dev/null &
pids+=($!)
url=""
for _ in $(seq 1 200); do
  url=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "${demo}/server.log" | head -n1)
  [ -n "${url}" ] && grep -q READY "${demo}/sim.ready" 2>/dev/null && break
  sleep 0.1
done
[ -n "${url}" ] && grep -q READY "${demo}/sim.ready" 2>/dev/null ||
  { cat "${demo}/server.log" "${demo}/sim.log" >&2; echo "the simulators did not start" >&2; exit 1; }
# The virtual USB devices are seen by programs started with these variables.
export $(sed -n 's/^env //p' "${demo}/sim.ready")
echo "Stand-in update server at ${url}; modules simulated by tarnix-sim; store under ${demo}/updater"

summary=()
step() {
  local label=$1
  shift
  printf '\n\033[1m$ %s\033[0m\n' "$*"
  local status=0
  "$@" || status=$?
  summary+=("$(printf '%-44s exit %d' "${label}" "${status}")")
}
U=("${bin}" -u "${url}" -i "${demo}")

step "discover on USB" "${U[@]}" -D
step "discover on TCP/IP" "${U[@]}" -D -t TCPIP
step "discover behind router D272031D" "${U[@]}" -D -r D272031D
step "download the newest build for 40F5849A" "${U[@]}" -G -d 40F5849A
step "update 40F5849A over USB, plain" "${U[@]}" -U -d 40F5849A -m 0
step "download and update 1A2B3C4D over TCP/IP, -m" "${U[@]}" -G -U -d 1A2B3C4D -m 1
step "download and update 2181F0EE through router" "${U[@]}" -G -U -d 2181F0EE -r D272031D
step "discover on USB again" "${U[@]}" -D
step "discover on TCP/IP again" "${U[@]}" -D -t TCPIP
step "history of 40F5849A" "${U[@]}" -I -d 40F5849A

# What each module runs now, as the simulator reports it.
control=$(sed -n 's/^control 127.0.0.1:\([0-9]*\)/\1/p' "${demo}/sim.ready")
echo
echo "Summary"
for line in "${summary[@]}"; do echo "  ${line}"; done
for m in bench-usb lab-net behind; do
  exec 3<>"/dev/tcp/127.0.0.1/${control}"
  echo "status ${m}" >&3
  read -r answer <&3 || true
  exec 3>&-
  printf '  %-10s %s\n' "${m}" "$(grep -o 'serial=[^ ]* version=[^ ]* build=[^ ]*' <<< "${answer}" || echo "${answer}")"
done
