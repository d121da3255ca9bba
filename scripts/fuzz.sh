#!/usr/bin/env bash
# Builds the record fuzz target with clang's libFuzzer, ASan and UBSan, and
# runs it for a short while (FUZZ_SECONDS, default 60) from the seed corpus.
# A crash leaves its input in build-fuzz/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=build-fuzz
clang=$(command -v clang++-14 || command -v clang++)
mkdir -p "$out/corpus"
cp tests/fuzz/corpus/* "$out/corpus/"
# shellcheck disable=SC2046
"$clang" -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Iinclude -Ireference/include -Iverify/src \
  tests/fuzz/record_fuzz.cpp verify/c_api.cpp verify/src/*.cpp reference/src/*.cpp \
  -o "$out/record_fuzz"
cd "$out"
./record_fuzz -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -print_final_stats=1 corpus \
  2>fuzz.log || { tail -40 fuzz.log; exit 1; }
grep -E "stat::number_of_executed_units|Done" fuzz.log | tail -2
