#!/usr/bin/env bash
# Sets everything up, builds and runs every test: a normal build, a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded link-core
# tests under ThreadSanitizer.
#   scripts/test.sh            all three
#   scripts/test.sh quick      the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
# Test builds point the default update-server URL at a closed loopback port,
# so a test that forgets -u can never reach out.
safe_host=-DUPDATER_SERVER_HOST=127.0.0.1:1
suite() {
  local dir=$1 target=$2 label=$3; shift 3
  echo "=== ${dir} ==="
  mkdir -p "${dir}"
  cmake -S . -B "${dir}" "$@" > "${dir}/configure.log" 2>&1 || { cat "${dir}/configure.log"; return 1; }
  cmake --build "${dir}" -j"${jobs}" --target "${target}"
  local filter=()
  [ -n "${label}" ] && filter=(-L "${label}")
  # The sharing server and its clients keep their keys in the user's config
  # directory; tests get one of their own in the build tree.
  rm -rf "${dir}/test-config" && mkdir -m 700 "${dir}/test-config"
  (cd "${dir}" && XDG_CONFIG_HOME="$PWD/test-config" ctest --output-on-failure -j2 --timeout 600 "${filter[@]}")
}


suite build-test all "" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${safe_host}"
[ "${1:-}" = quick ] && exit 0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  suite build-asan all "" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON "${safe_host}"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp \
  suite build-tsan tsan_tests tsan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_TSAN=ON "${safe_host}"
