#!/usr/bin/env bash
# The GPU check: runs the device tier (and, as they exist, the benchmarks)
# from a build made by scripts/gpu_build.sh, and writes a summary. Fits in
# about 8 minutes on an H100 machine. Usage: scripts/gpu_check.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-gpu}
out=${OUT:-gpu-check-out}
mkdir -p "$out"
export LD_LIBRARY_PATH="$PWD/$build:$PWD/$build/verify${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
summary="$out/summary.txt"
: >"$summary"

note() { echo "$*" | tee -a "$summary"; }

nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader >"$out/gpu.txt" 2>&1
note "gpu: $(cat "$out/gpu.txt")"

# The whole check stays within GPU_CHECK_SECONDS (default 8 minutes): each
# step's limit is cut to what is left, and a step with under 15 s left is
# skipped, saying so. Steps run most important first.
budget=${GPU_CHECK_SECONDS:-480}

step() {  # step NAME SECONDS COMMAND...
  local name=$1 limit=$2
  shift 2
  local left=$((budget - SECONDS))
  if ((left < 15)); then
    note "$name: skipped (the check's time budget is spent)"
    return
  fi
  ((limit > left)) && limit=$left
  local start=$SECONDS
  timeout "$limit" "$@" >"$out/$name.log" 2>&1
  local rc=$?
  note "$name: rc=$rc ($((SECONDS - start)) s) $(grep -E '^\[  (PASSED|FAILED|SKIPPED) ' "$out/$name.log" | tr '\n' ' ')"
}

step device_tests 240 "$build/tests/quorl_device_tests" --gtest_output="xml:$out/device_tests.xml"
step qkmine_commit 60 "$build/tools/qkmine/qkmine" commit --m 8192 --n 8192 --k 2048 \
  --seed-a 1 --seed-b 2 --key 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f --json
cat "$out/qkmine_commit.log" >>"$summary"
# cuBLASLt comes from the machine.
cublas_dir=$(find /usr /opt -name 'libcublasLt.so.13*' 2>/dev/null | head -1 | xargs -r dirname)
# The h100tma engines themselves beside cuBLASLt.
step hopper_bench 60 env LD_LIBRARY_PATH="$cublas_dir:$LD_LIBRARY_PATH" \
  "$build/bench/hopper_bench"
cat "$out/hopper_bench.log" >>"$summary"
# Attempt rates of the drivers (default build of the device), stage breakdowns.
step bench_drivers 120 "$build/bench/quorl_drivers_bench"
grep -E '^(device|full|bonly|bare)' "$out/bench_drivers.log" >>"$summary"
# qkmine on the GPU: every runnable build against the reference, then a short
# mining run per mode on every GPU whose first share must verify on the host.
step qkmine_selftest 120 "$build/tools/qkmine/qkmine" selftest
cat "$out/qkmine_selftest.log" >>"$summary"
for mode in full bonly; do
  step "qkmine_mine_$mode" 30 "$build/tools/qkmine/qkmine" mine --devices all --mode "$mode" --seconds 8 \
    --difficulty 26 --json --key 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
  grep '"summary"' "$out/qkmine_mine_$mode.log" >>"$summary"
  grep -m1 '"found":[0-9]' "$out/qkmine_mine_$mode.log" >"$out/qkmine_share_$mode.json"
  step "qkmine_verify_$mode" 30 "$build/tools/qkmine/qkmine" verify --threads 4 <"$out/qkmine_share_$mode.json"
  head -1 "$out/qkmine_verify_$mode.log" >>"$summary"
done
# qkmine bench, short: JSON lines and the plot.
step qkmine_bench 90 env LD_LIBRARY_PATH="$cublas_dir:$LD_LIBRARY_PATH" "$build/tools/qkmine/qkmine" bench \
  --json --shapes 4096x4096x2048,8192x8192x2048 --reps 10 --attempts 10 --plot "$out/qkmine_bench.png"
cat "$out/qkmine_bench.log" >>"$summary"
# The search pass beside cuBLASLt's int8 GEMM, once per search mode (the
# library reads the mode once per process).
for mode in "" SEPARATE_BOUND=1 SKIP_BOUND=1; do
  name=bench_search_${mode%%=*}
  step "${name%_}" 60 env LD_LIBRARY_PATH="$cublas_dir:$LD_LIBRARY_PATH" $mode \
    "$build/bench/quorl_search_bench"
  grep -E '^(device|cublaslt|search)' "$out/${name%_}.log" >>"$summary"
done
# The h100tma engines in the other search modes (device_tests ran the default,
# fused); the switches are read once per process.
hopper=(--gtest_filter='DeviceHopperEngines.*')
step hopper_separate 90 env SEPARATE_BOUND=1 "$build/tests/quorl_device_tests" "${hopper[@]}"
step hopper_skipped 60 env SKIP_BOUND=1 "$build/tests/quorl_device_tests" "${hopper[@]}"
step hopper_fused_2_per_sm 90 env QUORL_HOPPER_TMA_PERSISTENT_CTAS_PER_SM=2 \
  "$build/tests/quorl_device_tests" "${hopper[@]}"
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
for tool in memcheck racecheck; do  # the fused engine, then the 192-row engine
  for mode in FUSED_BOUND=1 SEPARATE_BOUND=1; do
    step "hopper_${tool}_${mode%%_*}" 90 env "$mode" "$sanitizer" --tool "$tool" \
      --error-exitcode 1 "$build/tests/quorl_device_tests" --gtest_filter='DeviceHopperEngines.Small*'
  done
done
# The staged fusion kernel, in the separate-bound mode so the noise tests
# compare cell messages word for word.
step device_tests_smem_noise 120 env SMEM_NOISE=1 SEPARATE_BOUND=1 "$build/tests/quorl_device_tests" \
  --gtest_filter='DeviceNoise*'
echo "--- summary ($summary)"
cat "$summary"
