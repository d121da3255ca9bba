#!/usr/bin/env bash
# Builds, on this machine, what the GPU check needs for a Hopper device
# (h100tma and fallback), into build-gpu/ to carry to the GPU machine.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DQK_BUILDS="h100tma;fallback" >/dev/null
cmake --build build-gpu -j"$(nproc)" --target quorl_device_tests qkmine hopper_bench quorl_search_bench \
  quorl_drivers_bench
