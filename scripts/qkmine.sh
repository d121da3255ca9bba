#!/usr/bin/env bash
# Sets up (once), builds qkmine and runs it with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target qkmine >/dev/null
exec build/tools/qkmine/qkmine "$@"
