#!/usr/bin/env bash
# Sets everything up, builds the Updater and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target Updater
./build/app/Updater -h
