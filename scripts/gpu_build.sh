#!/usr/bin/env bash
# Builds, on this machine, what the GPU check runs, and stages it into
# build-gpu/: the folder to carry to the GPU machine, which has the driver
# and compute-sanitizer but no compiler or packages of ours. Programs find
# their libraries relative to themselves, so the folder runs from anywhere.
#
# Builds compiled in: h100tma and fallback (what an H100 or H200 picks), sm89
# (run there once through its compute_89 PTX, which the driver compiles for
# the device) and sm120a, also compiled for sm_90 by the check-only option
# QK_SM120A_ON_SM90, so its GEMM runs on Hopper under
# QUORL_KERNEL_VARIANT=sm120a. The library as shipped (no sm_90 code in
# sm120a) comes along as default/libquorl_kernel.so, for the check's test of
# a forced build the device cannot run. Both configurations' build facts are
# checked here before staging.
#
#   scripts/gpu_build.sh      (CMake trees: build-gpu-work/ and build-gpu-work-default/,
#                              or $QK_GPU_BUILD_DIR and $QK_GPU_BUILD_DIR-default)
set -euo pipefail
cd "$(dirname "$0")/.."
work=${QK_GPU_BUILD_DIR:-build-gpu-work}
stage=build-gpu
limit_mib=48  # a carried tree may hold 64 MiB, the working tree included

cmake -S . -B "$work" -DCMAKE_BUILD_TYPE=Release -DQK_BUILDS="sm89;sm120a;h100tma;fallback" \
  -DQK_SM120A_ON_SM90=ON >/dev/null
cmake --build "$work" -j"${QK_BUILD_JOBS:-2}" --target quorl_device_tests quorl_gpu_probe qkmine \
  hopper_bench quorl_search_bench quorl_drivers_bench quorl_build_facts_tests
"$work/tests/quorl_build_facts_tests" --gtest_brief=1
cmake -S . -B "$work-default" -DCMAKE_BUILD_TYPE=Release -DQK_BUILDS="sm89;sm120a;h100tma;fallback" \
  -DQK_SM120A_ON_SM90=OFF >/dev/null
cmake --build "$work-default" -j"${QK_BUILD_JOBS:-2}" --target quorl_kernel quorl_build_facts_tests
"$work-default/tests/quorl_build_facts_tests" --gtest_brief=1

# Only what runs there, at the same relative paths (the programs' run path
# is $ORIGIN/.. or $ORIGIN/../..).
programs=(libquorl_kernel.so verify/libquorl_verify.so tests/quorl_device_tests tests/quorl_gpu_probe
  tools/qkmine/qkmine tools/qkmine/plot_bench.py bench/hopper_bench bench/quorl_search_bench bench/quorl_drivers_bench)
rm -rf "$stage"
for path in "${programs[@]}"; do
  mkdir -p "$stage/$(dirname "$path")"
  cp -L "$work/$path" "$stage/$path"
done
mkdir -p "$stage/default"
cp -L "$work-default/libquorl_kernel.so" "$stage/default/libquorl_kernel.so"
size_mib=$(du -sm "$stage" | cut -f1)
echo "$stage: ${size_mib} MiB"
if ((size_mib > limit_mib)); then
  echo "gpu_build.sh: $stage is over ${limit_mib} MiB and will not travel with the working tree" >&2
  exit 1
fi
# Every program the check runs is staged: a dry run of the check (no GPU
# used here) names any that is not.
dry=$(mktemp -d)
CUDA_VISIBLE_DEVICES= OUT=$dry scripts/gpu_check.sh "$stage" >/dev/null 2>&1
if grep -E 'is not built|is missing' "$dry/summary.txt"; then
  echo "gpu_build.sh: the GPU check needs programs that $stage lacks" >&2
  exit 1
fi
rm -rf "$dry"
