#!/usr/bin/env bash
# The GPU check: a verdict on the device code in one run of at most
# GPU_CHECK_SECONDS (480 by default), from a build made here by
# scripts/gpu_build.sh and carried to the GPU machine.
#
#   scripts/gpu_check.sh [BUILD_DIR]          (default build-gpu)
#
# Writes summary.txt (one PASS/FAIL/SKIPPED line per step, then the figures)
# and gpu_check_logs.tar.gz (every step's log) into $OUT, or gpu-check-out/.
# The most decisive steps run first: the device test groups, compute-sanitizer
# on small shapes, qkmine selftest, then the benchmarks. Without a usable GPU
# every step is reported as skipped, with the reason, and the exit status is
# 0; with one, it is 1 when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/gpu_check_steps.sh

build=${1:-build-gpu}
[[ -d $build ]] && build=$(cd "$build" && pwd)
out=${OUT:-gpu-check-out}
check_logs=$(mktemp -d "${TMPDIR:-/tmp}/gpu-check.XXXXXX")
check_summary="$out/summary.txt"
check_budget=${GPU_CHECK_SECONDS:-480}
check_reserve=15
mkdir -p "$out"
: >"$check_summary"
export LD_LIBRARY_PATH="$build:$build/verify${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

device_tests="$build/tests/quorl_device_tests"
qkmine="$build/tools/qkmine/qkmine"
key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
shape=(8192 8192 2048)  # the benchmarks' and the mining runs' shape

# --- the GPU at hand
probe=$(timeout -k 2 30 "$build/tests/quorl_gpu_probe" 2>&1)
IFS='|' read -r probe_kind gpu_name gpu_cc gpu_sms <<<"$probe"
if [[ $probe_kind != gpu ]]; then
  [[ -x $build/tests/quorl_gpu_probe ]] || probe="none|$build/tests/quorl_gpu_probe is missing"
  check_skip_all="no GPU: ${probe#none|}"
fi
smi=$(timeout -k 2 20 nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total \
  --format=csv,noheader 2>/dev/null | head -1)
is_hopper() { [[ ${gpu_cc:-} == 9.* ]]; }
sanitizer=$(command -v compute-sanitizer || echo /usr/local/cuda/bin/compute-sanitizer)
have_sanitizer() { [[ -x $sanitizer ]]; }
# Tests provoke failing CUDA calls on purpose (a bad ordinal, a refused
# allocation): only device-side errors count, where the sanitizer can say so.
sanitizer_options=()
if have_sanitizer && timeout -k 2 20 "$sanitizer" --help 2>/dev/null | grep -q -- --report-api-errors; then
  sanitizer_options=(--report-api-errors no)
fi
# cuBLASLt (the benchmarks' yardstick) comes from the machine.
cublas_dir=$(timeout -k 2 15 find /usr/local /usr/lib /opt -name 'libcublasLt.so.13*' -print -quit 2>/dev/null |
  xargs -r dirname)
bench_env="LD_LIBRARY_PATH=${cublas_dir:+$cublas_dir:}$LD_LIBRARY_PATH"
# qkmine bench draws its plot with matplotlib; a GPU machine without it still
# gets the figures, and the summary says why there is no plot.
plot_python=${QKMINE_PYTHON:-/usr/bin/python3}
plot_args=(--plot "$out/qkmine_bench.png")
if ! timeout -k 2 30 "$plot_python" -c 'import matplotlib' >/dev/null 2>&1; then
  plot_args=()
  no_plot="no plot: $plot_python cannot import matplotlib"
fi

# --- the plan, most decisive first. Limits are about three times the run
# time expected on an H100 (the estimate follows each step); they add up to
# less than the budget, so no step is starved when the earlier ones run long.

# tests NAME LIMIT FILTER [VAR=VALUE...]: a device test group.
tests() {
  step "$1" "$2" "${@:4}" "$device_tests" --gtest_color=no --gtest_filter="$3"
}
# sanitize NAME LIMIT TOOL FILTER [VAR=VALUE...]: a group under
# compute-sanitizer at small shapes (the tests read QK_DEVICE_TEST_SMALL).
sanitize() {
  local name=$1 limit=$2 tool=$3 filter=$4 options=("${sanitizer_options[@]}")
  shift 4
  [[ $tool == memcheck ]] && options+=(--leak-check full)
  only_if have_sanitizer "compute-sanitizer not found"
  needs "$device_tests"
  step "$name" "$limit" QK_DEVICE_TEST_SMALL=1 "$@" "$sanitizer" --tool "$tool" "${options[@]}" \
    --error-exitcode 1 --print-limit 20 "$device_tests" --gtest_color=no --gtest_filter="$filter"
}

plan() {
  # Device test groups (gtest suites by prefix; parameterised ones carry a
  # "Shapes/" prefix, hence the leading *), on every build the GPU can run:
  # its own, fallback, sm89 through its PTX and the check-only sm120a. Child
  # processes inside the groups cover the search modes and grid sizes.
  tests device_frame 12 '*DeviceFrame*'              # ~4 s
  # The check's own library runs sm120a on Hopper, so the library as shipped
  # is loaded for the build the device cannot run (every launch must fail).
  needs "$build/default/libquorl_kernel.so"
  tests device_forced_build 10 '*DeviceFrameErrors.AForcedBuild*' \
    "LD_LIBRARY_PATH=$build/default:$LD_LIBRARY_PATH"  # ~2 s
  tests device_commit 12 '*DeviceCommit*'            # ~4 s (16384 x 16384 x 2048)
  tests device_search 45 '*DeviceSearch*'            # ~15 s (7 children, sm89 JIT)
  tests device_hopper 45 '*DeviceHopper*'            # ~15 s (3 children, 512 tiles)
  tests device_bonly 20 '*DeviceBonly*'              # ~6 s
  tests device_noise 12 '*DeviceNoise*'              # ~4 s
  tests device_drivers 25 '*DeviceDrivers*:*DeviceFullPipeline*'  # ~8 s
  tests device_other 10 "*Device*-$grouped"          # any suite outside the groups
  # The staged fusion kernel (a per-process switch); the separate bound
  # compares cell messages word for word.
  tests noise_smem 10 '*DeviceNoise*' SMEM_NOISE=1 SEPARATE_BOUND=1  # ~3 s

  # compute-sanitizer at small shapes: memcheck on every group (both search
  # modes of both GEMM families), racecheck and synccheck on the label GEMM
  # and the noise kernels. Tests that start children skip themselves here.
  sanitize memcheck_search 20 memcheck '*DeviceSearch*'                      # ~7 s
  sanitize memcheck_search_separate 15 memcheck '*DeviceSearch*' SEPARATE_BOUND=1  # ~5 s
  sanitize memcheck_hopper 20 memcheck '*DeviceHopper*'                      # ~7 s
  sanitize memcheck_hopper_separate 15 memcheck '*DeviceHopper*' SEPARATE_BOUND=1  # ~5 s
  sanitize memcheck_others 25 memcheck "*Device*-*DeviceSearch*:*DeviceHopper*:$unsanitized"  # ~10 s
  sanitize racecheck 20 racecheck '*DeviceSearch*:*DeviceNoise*'             # ~7 s
  sanitize synccheck 15 synccheck '*DeviceSearch*:*DeviceNoise*'             # ~5 s

  # Every runnable build through qkmine against the reference.
  step qkmine_selftest 15 "$qkmine" selftest                                # ~5 s

  # Benchmarks. The drivers bench's attempt rates come first: the short
  # mining runs are compared with them (same shape, same mode).
  step drivers_bench 20 "$build/bench/quorl_drivers_bench" "${shape[@]}" 40  # ~7 s
  # The B-only figures again with each attempt's mutation started in the
  # tail of the previous search (h100tma only), beside the default's.
  only_if is_hopper "the B-only overlap needs the h100tma engine (device: ${gpu_cc:-none})"
  step drivers_bench_overlap 12 QUORL_BONLY_OVERLAP=1 "$build/bench/quorl_drivers_bench" \
    "${shape[@]}" 40 bonly                                                    # ~4 s
  mine_steps full
  mine_steps bonly
  step search_bench 12 "$bench_env" "$build/bench/quorl_search_bench" "${shape[@]}" 20  # ~4 s
  only_if is_hopper "the h100tma engines need a Hopper GPU (device: ${gpu_cc:-none})"
  step hopper_bench 15 "$bench_env" "$build/bench/hopper_bench"           # ~6 s (nine kernels, two shapes)
  step qkmine_bench 20 "$bench_env" "$qkmine" bench --json --shapes "$(IFS=x; echo "${shape[*]}")" \
    --reps 10 --attempts 10 "${plot_args[@]}"                               # ~7 s
}
# Tests kept from the sanitizer: they take nearly all device memory (which
# the sanitizer needs too) or start children.
unsanitized='*RefusedForMemory*:*FailedScratchAllocation*:*DeviceFramePersistL2*'
grouped='*DeviceFrame*:*DeviceCommit*:*DeviceSearch*:*DeviceHopper*:*DeviceBonly*:*DeviceNoise*:*DeviceDrivers*:*DeviceFullPipeline*'

# mine_steps MODE: a short mining run on GPU 0, then its first share
# through the host verifier.
mine_steps() {
  local mode=$1
  step "mine_$mode" 12 "$qkmine" mine --devices 0 --mode "$mode" --seconds 6 --difficulty 26 --json \
    --key "$key" --m "${shape[0]}" --n "${shape[1]}" --k "${shape[2]}"      # ~8 s
  local share="$check_logs/share_$mode.json"
  grep -m1 '"found":[0-9]' "$check_logs/mine_$mode.log" >"$share" 2>/dev/null
  [[ $check_mode == run && ! -s $share ]] && check_skip_next="no share from mine_$mode"
  stdin_from "$share"
  step "verify_$mode" 6 "$qkmine" verify --threads 8                    # ~2 s
}

# --- figures, after the steps
# drivers_rate MODE LOG: the drivers bench's attempts/s in MODE (full:
# qk_mine_full back to back; bonly: qk_bench_bonly_batch, attempts queued
# with one wait, as qkmine's batches of 64). mine_rate LOG: the total
# attempts/s of qkmine mine's summary.
drivers_rate() {
  case $1 in
    full) sed -n 's|^full attempts/s: overlapped \([0-9.]*\).*|\1|p' "$2" ;;
    bonly) sed -n 's|^bonly attempts/s: batch \([0-9.]*\).*|\1|p' "$2" ;;
  esac 2>/dev/null | head -1
}
mine_rate() {
  grep -m1 '"summary":true' "$1" 2>/dev/null | grep -o '"attempts_per_s":[0-9.]*' | head -1 | cut -d: -f2
}

# bonly_rate KIND LOG: the B-only bench's attempts/s of KIND (batch or pipeline).
bonly_rate() {
  sed -n "s|^bonly attempts/s: .*$1 \([0-9.]*\).*|\1|p" "$2" 2>/dev/null | head -1
}

figures() {
  local log=$check_logs/drivers_bench.log overlap=$check_logs/drivers_bench_overlap.log mode bench mine
  echo "--- figures"
  [[ -n $smi ]] && echo "nvidia-smi: $smi"
  [[ -n ${no_plot:-} ]] && echo "qkmine bench: $no_plot"
  grep -hE '^(device|full|bonly|bare)' "$log" 2>/dev/null
  grep -hE '^(bonly|bare)' "$overlap" 2>/dev/null | sed 's/^/overlap on: /'
  for kind in batch pipeline; do
    local off on
    off=$(bonly_rate "$kind" "$log")
    on=$(bonly_rate "$kind" "$overlap")
    [[ -n $off && -n $on ]] && awk -v off="$off" -v on="$on" -v kind="$kind" 'BEGIN {
      printf "ab B-only %s overlap: on %.1f, off %.1f attempts/s, %.3fx\n", kind, on, off, (off > 0 ? on / off : 0) }'
  done
  # qkmine mine against the drivers bench, same shape and mode.
  for mode in full bonly; do
    bench=$(drivers_rate "$mode" "$log")
    mine=$(mine_rate "$check_logs/mine_$mode.log")
    if [[ -n $bench && -n $mine ]]; then
      awk -v m="$mine" -v b="$bench" -v mode="$mode" 'BEGIN {
        printf "mine %s vs drivers bench: %.1f vs %.1f attempts/s, %.1f%% (aim: within a few percent)\n",
               mode, m, b, (b > 0 ? 100 * m / b : 0) }'
    else
      echo "mine $mode vs drivers bench: no comparison (qkmine: ${mine:-no rate}, bench: ${bench:-no rate})"
    fi
  done
  grep -hE '^(device|cublaslt|search)' "$check_logs/search_bench.log" 2>/dev/null
  grep -hE '^[0-9]+x[0-9]+x[0-9]+ ' "$check_logs/hopper_bench.log" 2>/dev/null
  grep -h '^ab ' "$check_logs/hopper_bench.log" 2>/dev/null
  grep -h '^{' "$check_logs/qkmine_bench.log" 2>/dev/null
}

# --- the run
check_mode=count
plan
total=$check_planned
check_mode=run
check_planned=0
{
  if [[ -z ${check_skip_all:-} ]]; then
    echo "gpu: $gpu_name (cc $gpu_cc, $gpu_sms multiprocessors)"
  else
    echo "gpu: none (${check_skip_all#no GPU: })"
  fi
  echo "budget: $check_budget s; step limits add up to $total s, $check_reserve s kept for the end"
  ((total + check_reserve > check_budget)) && echo "note: the limits exceed the budget; the last steps may be skipped"
} | tee -a "$check_summary"
if [[ -n ${check_skip_all:-} && -n $smi ]]; then
  # nvidia-smi sees a GPU that CUDA cannot use (driver too old, ...).
  check_line FAIL gpu_probe "-" "nvidia-smi sees $smi, but CUDA: ${check_skip_all#no GPU: }"
  check_failures=$((check_failures + 1))
fi
plan
figures | tee -a "$check_summary"
echo "--- the check took $SECONDS s" | tee -a "$check_summary"
tar czf "$out/gpu_check_logs.tar.gz" -C "$check_logs" . && rm -rf "$check_logs"
exit $((check_failures > 0 ? 1 : 0))
