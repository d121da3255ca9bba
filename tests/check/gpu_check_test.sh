#!/usr/bin/env bash
# The GPU check tested without a GPU: its step runner on stand-in programs
# (passing, failing gtest runs, a sanitizer report, hangs that ignore TERM,
# a spent budget); the whole check as CI runs it, where every step must say
# why it skipped and the script must exit 0 within its budget; and the whole
# check on a stand-in GPU, whose programs record how they were called.
#
#   tests/check/gpu_check_test.sh BUILD_DIR     (KEEP=1 keeps its work folder)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: gpu_check_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap '[[ -n ${KEEP:-} ]] || rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# expect_line NAME PATTERN: the summary line of step NAME matches PATTERN (ERE).
expect_line() {
  local line
  line=$(grep -E "^[A-Z]+ +$1 " "$check_summary")
  [[ $line =~ $2 ]] || fail "step $1: '$line' does not match /$2/"
}

# --- stand-in programs
bin=$work/bin
mkdir -p "$bin"
stand_in() {  # NAME BODY
  printf '#!/usr/bin/env bash\n%s\n' "$2" >"$bin/$1"
  chmod +x "$bin/$1"
}
stand_in gtest_pass 'cat <<EOF
[==========] 4 tests from 2 test suites ran. (5 ms total)
[  PASSED  ] 3 tests.
[  SKIPPED ] 1 test, listed below:
EOF
echo "x.cpp:3: Skipped"; echo "needs a Hopper GPU"'
stand_in gtest_fail 'cat <<EOF
[ RUN      ] DeviceSearch.A
[  FAILED  ] DeviceSearch.A (3 ms)
[ RUN      ] Shapes/DeviceFrame.B/128x256x64
[  FAILED  ] Shapes/DeviceFrame.B/128x256x64 (1 ms)
[==========] 2 tests from 2 test suites ran. (5 ms total)
[  PASSED  ] 0 tests.
[  FAILED  ] 2 tests, listed below:
[  FAILED  ] DeviceSearch.A
[  FAILED  ] Shapes/DeviceFrame.B/128x256x64
EOF
exit 1'
stand_in gtest_all_skipped 'echo "[==========] 2 tests from 1 test suite ran. (0 ms total)"
echo "[  PASSED  ] 0 tests."; echo "[  SKIPPED ] 2 tests, listed below:"
echo "y.cpp:9: Skipped"; echo "no CUDA device visible"'
stand_in gtest_none 'echo "[==========] 0 tests from 0 test suites ran. (0 ms total)"; echo "[  PASSED  ] 0 tests."'
stand_in sanitizer_error 'echo "========= COMPUTE-SANITIZER"
echo "========= Invalid __global__ write of size 4 bytes"
echo "=========     at gemm_g+0x1a0"
echo "========= ERROR SUMMARY: 3 errors"; exit 1'
stand_in crash 'echo "[ RUN      ] DeviceFrameErrors.Crashes"; kill -SEGV $$'
stand_in killed 'echo "[ RUN      ] DeviceBonly.Huge"; kill -KILL $$'
# Hangs inside a test, ignoring TERM, with a grandchild that ignores it too
# and records its pid in $GRANDCHILD_PID.
export GRANDCHILD_PID=$work/grandchild.pid
stand_in hang 'echo "[ RUN      ] DeviceHopperTiles.Slow"
trap "" TERM
bash -c "trap \"\" TERM; echo \$\$ >\"\$GRANDCHILD_PID\"; sleep 60" &
sleep 60'
stand_in read_stdin 'read -r line; [[ $line == record ]] || { echo "read: [$line]"; exit 1; }'

# --- the step runner
check_logs=$work/logs check_summary=$work/summary.txt check_budget=100 check_reserve=0
check_mode=run check_kill_grace=1
mkdir -p "$check_logs"
: >"$check_summary"
source "$root/scripts/gpu_check_steps.sh"

step passing 10 "$bin/gtest_pass"
expect_line passing '^PASS +passing +[0-9]+/10 s +3 passed, 1 skipped: needs a Hopper GPU$'
step failing 10 "$bin/gtest_fail"
expect_line failing '^FAIL .* failed: DeviceSearch.A, Shapes/DeviceFrame.B/128x256x64$'
step all_skipped 10 "$bin/gtest_all_skipped"
expect_line all_skipped '^SKIPPED .* all 2 skipped: no CUDA device visible$'
step no_tests 10 "$bin/gtest_none"
expect_line no_tests '^SKIPPED .* no test matches the filter$'
step memcheck 10 "$bin/sanitizer_error"
expect_line memcheck '^FAIL .* Invalid __global__ write of size 4 bytes; ERROR SUMMARY: 3 errors$'
step crashing 10 "$bin/crash"
expect_line crashing '^FAIL .* killed by signal 11 in DeviceFrameErrors.Crashes$'
step killed_early 10 "$bin/killed"
expect_line killed_early '^FAIL .* killed by signal 9 in DeviceBonly.Huge$'
step missing 10 "$bin/not_there"
expect_line missing "^FAIL .* $bin/not_there is missing"
echo record >"$work/record"
stdin_from "$work/record"
step reads_stdin 10 "$bin/read_stdin"
expect_line reads_stdin '^PASS '
step reads_dev_null 10 "$bin/read_stdin"
expect_line reads_dev_null '^FAIL .* exit status 1: read: \[\]$'
step with_env 10 QK_PROBE=set "$bin/gtest_pass"
expect_line with_env '^PASS '
needs "$bin/not_there"
step tool_of_the_machine 10 "$bin/gtest_pass"
expect_line tool_of_the_machine "^FAIL .* $bin/not_there is missing"

start=$SECONDS
step hanging 2 "$bin/hang"
((SECONDS - start <= 2 + check_kill_grace + 2)) || fail "the hanging step took $((SECONDS - start)) s"
expect_line hanging '^FAIL +hanging +[0-9]+/2 s +timed out after 2 s in DeviceHopperTiles.Slow$'
sleep 1
[[ -s $GRANDCHILD_PID ]] || fail "the hanging stand-in started no grandchild"
grandchild=$(cat "$GRANDCHILD_PID" 2>/dev/null)
# Alive unless gone or a zombie (nothing may be left to reap it at once).
if [[ -n $grandchild && $(awk '{ print $3 }' "/proc/$grandchild/stat" 2>/dev/null) == [^Z]* ]]; then
  fail "a grandchild that ignores TERM outlived its step"
  kill -9 "$grandchild"
fi

only_if false "needs a Hopper GPU (device: 8.9)"
step conditional 10 "$bin/gtest_pass"
expect_line conditional '^SKIPPED +conditional +-/10 s +needs a Hopper GPU \(device: 8.9\)$'
step unconditional 10 "$bin/gtest_pass"
expect_line unconditional '^PASS '

check_budget=$((SECONDS + 12))  # 12 s left: a 20 s step gets under half its limit
step over_budget 30 "$bin/gtest_pass"
expect_line over_budget "^SKIPPED .* the check's time budget is spent"
step cut_to_budget 20 "$bin/gtest_pass"
expect_line cut_to_budget '^PASS +cut_to_budget +[0-9]+/1[01] s '

check_skip_all="no GPU: no CUDA device visible"
step everything_skips 10 "$bin/gtest_fail"
expect_line everything_skips '^SKIPPED .* no GPU: no CUDA device visible$'
((check_failures == 8)) || fail "$check_failures steps counted as failed, not 8"

# --- the whole check, as CI runs it: no GPU (an nvidia-smi that sees none)
stand_in nvidia-smi 'exit 9'
out=$work/out
start=$SECONDS
CUDA_VISIBLE_DEVICES= PATH="$bin:$PATH" OUT=$out GPU_CHECK_SECONDS=60 \
  "$root/scripts/gpu_check.sh" "$build" >"$work/check.log" 2>&1
rc=$?
((rc == 0)) || fail "the check exited $rc without a GPU"
((SECONDS - start <= 60)) || fail "the check took $((SECONDS - start)) s of its 60"
check_summary=$out/summary.txt
[[ -s $out/gpu_check_logs.tar.gz ]] || fail "no log archive in \$OUT"
grep -q '^gpu: none (' "$check_summary" || fail "the summary does not say there is no GPU"
steps=$(grep -cE '^(PASS|FAIL|SKIPPED) ' "$check_summary")
skipped=$(grep -cE '^SKIPPED +[a-z_0-9]+ +-/[0-9]+ s +no GPU: ' "$check_summary")
((steps > 0 && steps == skipped)) || fail "$skipped of $steps steps skipped for want of a GPU"
# Most decisive first: device tests, then sanitizers, then selftest, then benchmarks.
order=$(sed -nE 's/^[A-Z]+ +([a-z_0-9]+) .*/\1/p' "$check_summary" |
  sed -E 's/^(device|noise)_.*/1/; s/^(memcheck|racecheck|synccheck).*/2/; s/^qkmine_selftest/3/; s/^[a-z].*/4/' |
  uniq | paste -sd' ')
[[ $order == "1 2 3 4" ]] || fail "steps out of order: $order"
for name in device_frame device_search device_hopper device_bonly device_noise device_drivers \
  memcheck_search racecheck synccheck qkmine_selftest drivers_bench drivers_bench_overlap \
  mine_full mine_bonly hopper_bench; do
  grep -qE "^[A-Z]+ +$name " "$check_summary" || fail "no step $name"
done
# The limits fit the default budget with the reserve kept for the end.
total=$(sed -nE 's/^[A-Z]+ +[a-z_0-9]+ +[-0-9]+\/([0-9]+) s .*/\1/p' "$check_summary" | awk '{ s += $1 } END { print s }')
stated=$(sed -nE 's/^budget: .* step limits add up to ([0-9]+) s, ([0-9]+) s kept.*/\1 \2/p' "$check_summary")
[[ ${stated% *} == "$total" ]] || fail "the summary states ${stated% *} s of limits, the steps hold $total s"
((total + ${stated#* } <= 480)) || fail "the step limits ($total s + ${stated#* } s reserve) exceed the 480 s budget"
grep -q '^--- figures' "$check_summary" || fail "no figures section"

# --- the whole check on a stand-in GPU: every program of the build (and
# compute-sanitizer, nvidia-smi) is a stand-in that prints what the real one
# prints and records how it was called, so the plan's commands, the mining
# run's record reaching the verifier and the figures are checked here.
fake=$work/fake-build
mkdir -p "$fake/tests" "$fake/bench" "$fake/tools/qkmine" "$fake/verify"
export CALLS=$work/calls.log
: >"$CALLS"
stand_in_at() {  # PATH BODY: a stand-in that first records its call
  {
    echo '#!/usr/bin/env bash'
    echo 'echo "$(basename "$0") $* | small=${QK_DEVICE_TEST_SMALL:-} separate=${SEPARATE_BOUND:-}' \
      'overlap=${QUORL_BONLY_OVERLAP:-} library=${LD_LIBRARY_PATH%%:*}:" >>"$CALLS"'
    echo "$2"
  } >"$1"
  chmod +x "$1"
}
mkdir -p "$fake/default"
stand_in_at "$fake/default/libquorl_kernel.so" ''
stand_in_at "$fake/tests/quorl_gpu_probe" 'echo "gpu|Stand-in H100|9.0|132"'
stand_in_at "$fake/tests/quorl_device_tests" 'echo "[==========] 2 tests from 1 test suite ran. (1 ms total)"
echo "[  PASSED  ] 2 tests."'
stand_in_at "$fake/bench/quorl_drivers_bench" 'echo "device Stand-in H100 (cc 9.0), build h100tma, $1x$2x$3, $4 attempts per figure"
[[ ${5:-} == bonly ]] || echo "full attempts/s: overlapped 100.0, profiled (sequential) 90.0"
echo "bare search: 1.000 ms, 1100.0 TOPS, 1000.0 passes/s"
if [[ -n ${QUORL_BONLY_OVERLAP:-} ]]; then
  echo "bonly attempts/s: batch 230.0 (23.0% of bare), pipeline 209.0 (20.9% of bare)"
else
  echo "bonly attempts/s: batch 200.0 (20.0% of bare), pipeline 190.0 (19.0% of bare)"
fi'
stand_in_at "$fake/bench/quorl_search_bench" 'echo "cublaslt_int8: 0.300 ms 900.0 TOPS"; echo "search h100tma fused: 0.250 ms 1080.0 TOPS, 1.20x cuBLASLt"'
stand_in_at "$fake/bench/hopper_bench" 'echo "8192x8192x2048  fused_tma    0.250 ms 1080.0 TOPS  1.20x cublasLt"
echo "ab 8192x8192x2048 fused engine consumers: streamed 0.250 ms, drained 0.270 ms, 1.080x"'
stand_in_at "$fake/tools/qkmine/qkmine" 'case $1 in
  mine) [[ $* == *"--mode full"* ]] && rate=97.0 || rate=150.0
        echo "{\"mode\":\"x\",\"found\":5,\"device\":\"gpu:0\"}"
        echo "{\"summary\":true,\"attempts_per_s\":$rate,\"devices\":[{\"attempts_per_s\":1.0}]}" ;;
  verify) read -r record; [[ $record == *"\"found\":5"* ]] ;;
  bench) while [[ $# -gt 0 && $1 != --plot ]]; do shift; done; (($# > 1)) && : >"$2"
         echo "{\"shape\":\"8192x8192x2048\"}" ;;
esac'
stand_in_at "$bin/compute-sanitizer" '[[ $1 == --help ]] && { echo "  --report-api-errors arg"; exit 0; }
echo "========= ERROR SUMMARY: 0 errors"'
stand_in nvidia-smi 'echo "Stand-in H100, 9.0, 580.00, 81559 MiB"'
out=$work/out-gpu
PATH="$bin:$PATH" OUT=$out "$root/scripts/gpu_check.sh" "$fake" >"$work/check-gpu.log" 2>&1
rc=$?
check_summary=$out/summary.txt
((rc == 0)) || fail "the check on a stand-in GPU exited $rc"
grep -q '^gpu: Stand-in H100 (cc 9.0, 132 multiprocessors)$' "$check_summary" || fail "no gpu line"
passed=$(grep -cE '^PASS ' "$check_summary")
((passed == steps)) || fail "$passed of $steps steps passed on the stand-in GPU"
grep -q '^mine full vs drivers bench: 97.0 vs 100.0 attempts/s, 97.0%' "$check_summary" ||
  fail "no full-mode rate comparison"
grep -q '^mine bonly vs drivers bench: 150.0 vs 200.0 attempts/s, 75.0%' "$check_summary" ||
  fail "no B-only rate comparison"
# The B-only overlap beside the default: both runs' rates and their ratio.
grep -q '^overlap on: bonly attempts/s: batch 230.0' "$check_summary" || fail "no overlap figures"
grep -q '^ab B-only batch overlap: on 230.0, off 200.0 attempts/s, 1.150x' "$check_summary" ||
  fail "no batch overlap A/B"
grep -q '^ab B-only pipeline overlap: on 209.0, off 190.0 attempts/s, 1.100x' "$check_summary" ||
  fail "no pipeline overlap A/B"
grep -q '^ab 8192x8192x2048 fused engine consumers: streamed' "$check_summary" ||
  fail "no kernel A/B from hopper_bench"
for figure in '^full attempts/s: overlapped' '^cublaslt_int8:' '^8192x8192x2048  fused_tma' '^\{"shape"'; do
  grep -qE "$figure" "$check_summary" || fail "figure /$figure/ missing"
done
[[ -e $out/qkmine_bench.png ]] || fail "qkmine bench did not get the plot's path in \$OUT"
# How the programs were called.
expect_call() {  # PATTERN (ERE): some recorded call matches
  grep -qE -- "$1" "$CALLS" || fail "no call matches /$1/"
}
expect_call '^quorl_device_tests --gtest_color=no --gtest_filter=\*DeviceSearch\* \| small= separate= '
expect_call '^quorl_device_tests --gtest_color=no --gtest_filter=\*DeviceNoise\* \| small= separate=1 '
grep -E 'DeviceFrameErrors.AForcedBuild' "$CALLS" | grep -q "library=$fake/default:" ||
  fail "the forced-build test does not load the library as shipped"
expect_call '^compute-sanitizer --tool memcheck --report-api-errors no --leak-check full --error-exitcode 1 .*/quorl_device_tests --gtest_color=no --gtest_filter=\*DeviceHopper\* \| small=1 separate=1 '
expect_call '^compute-sanitizer --tool racecheck --report-api-errors no --error-exitcode 1 .*--gtest_filter=\*DeviceSearch\*:\*DeviceNoise\* \| small=1'
expect_call '^quorl_drivers_bench 8192 8192 2048 40 \| .*overlap= '
expect_call '^quorl_drivers_bench 8192 8192 2048 40 bonly \| .*overlap=1 '
expect_call '^qkmine mine --devices 0 --mode bonly --seconds 6 .*--m 8192 --n 8192 --k 2048 '
expect_call '^qkmine verify --threads 8 '

# A GPU machine whose python3 lacks matplotlib: the bench runs without --plot
# and the summary says why there is no plot.
: >"$CALLS"
out=$work/out-no-plot
PATH="$bin:$PATH" OUT=$out QKMINE_PYTHON=/bin/false "$root/scripts/gpu_check.sh" "$fake" \
  >"$work/check-no-plot.log" 2>&1 || fail "the check without matplotlib exited $?"
check_summary=$out/summary.txt
grep -q '^qkmine bench: no plot: /bin/false cannot import matplotlib$' "$check_summary" ||
  fail "no word on the missing plot"
grep -E '^qkmine bench ' "$CALLS" | grep -q -- --plot && fail "qkmine bench asked for a plot without matplotlib"
expect_call '^qkmine bench --json '
grep -qE '^PASS +qkmine_bench' "$check_summary" || fail "qkmine bench did not pass without a plot"

if ((failures > 0)); then
  echo "--- summary of the last check run"
  cat "$check_summary"
  exit 1
fi
echo "gpu_check: all cases pass"
