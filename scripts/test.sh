#!/usr/bin/env bash
# Configures, builds and runs every test that this machine can run: the host
# tier always, the device tier too (its tests skip, saying why, without a GPU).
# Extra arguments go to CMake, e.g. -DQK_BUILDS=fallback for a fast local build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QK_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
