#!/usr/bin/env bash
# Builds the host tests with AddressSanitizer and UndefinedBehaviorSanitizer
# (plain C++ only: no CUDA build is compiled) and runs them. Any report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QK_SANITIZE_DIR:-build-sanitize}
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQK_BUILDS=fallback \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorl_host_tests quorl_pool_tests
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/tests/quorl_host_tests" --gtest_brief=1
"$build/tests/pool/quorl_pool_tests" --gtest_brief=1
