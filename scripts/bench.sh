#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and prints each one's table
# with its figures against their targets. Everything runs inside a private
# network namespace (scripts/netns-run.sh), as discovery needs.
#   scripts/bench.sh                     discover, update, download and fleet
#   scripts/bench.sh discover update     only these
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-bench
parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(discover update download fleet)
declare -A target=([discover]=discover_bench [update]=update_bench [download]=bench_download [fleet]=fleet_bench)
declare -A program=([discover]=discover/discover_bench [update]=update/update_bench
                    [download]=download/bench_download [fleet]=fleet/fleet_bench)
targets=()
for part in "${parts[@]}"; do
  [ -n "${target[$part]:-}" ] || { echo "unknown benchmark: $part (discover, update, download, fleet)" >&2; exit 2; }
  targets+=("${target[$part]}")
done
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DUPDATER_BENCH=ON -DUPDATER_SERVER_HOST=127.0.0.1:1 > /dev/null
cmake --build "$dir" -j2 --target "${targets[@]}"
status=0
for part in "${parts[@]}"; do
  echo "=== ${part} ==="
  scripts/netns-run.sh "$PWD/$dir/bench/${program[$part]}" || { echo "${part}: failed" >&2; status=1; }
done
exit $status
