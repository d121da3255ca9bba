# Step runner of the GPU check, sourced by scripts/gpu_check.sh (and by its
# test). Every step runs under `timeout -k` within what is left of the budget
# and leaves one line in the summary:
#
#   STATUS  NAME  ELAPSED/LIMIT s  DETAIL
#
# STATUS is PASS, FAIL (DETAIL: the failing gtest names, the sanitizer's first
# report, a timeout and the test it was in, or the exit status) or SKIPPED
# (DETAIL: why). The caller sets:
#   check_logs     folder for one log per step (NAME.log)
#   check_summary  the summary file
#   check_budget   seconds the whole check may take, counted from $SECONDS = 0
#   check_reserve  seconds kept back for the end (figures, archive)
#   check_mode     "count" (only add up the limits) or "run"
# and may set check_skip_all (a reason that skips every step, e.g. no GPU).

check_kill_grace=${check_kill_grace:-5}  # TERM, then KILL this much later
check_planned=0                          # sum of the limits seen so far
check_failures=0
check_skip_next=""
check_stdin_next=""
check_needs_next=""

# only_if CONDITION REASON: the next step is skipped, saying REASON, unless
# CONDITION (a command) succeeds.
only_if() {
  if ! eval "$1"; then check_skip_next=$2; fi
}

# needs FILE: the file the next step cannot run without, checked in place of
# its program (which may be a tool of the machine, like the sanitizer).
needs() { check_needs_next=$1; }

# stdin_from FILE: the next step reads FILE on its standard input (every other
# step reads /dev/null).
stdin_from() { check_stdin_next=$1; }

check_line() {  # STATUS NAME TIMES DETAIL
  local line
  line=$(printf '%-7s %-26s %-9s %s' "$1" "$2" "$3" "$4")
  echo "$line" >>"$check_summary"
  echo "$line"
}

# The gtest names that failed, comma-separated ("Suite.Test", parameters too).
gtest_failures() {
  sed -n 's/^\[  FAILED  \] \([^ ,]*\.[^ ,]*\).*/\1/p' "$1" | sort -u | paste -sd, - | sed 's/,/, /g'
}

# The test that was running when the log ends, if any.
gtest_running() {
  awk '/^\[ RUN      \] / { t = $4; open = 1 }
       /^\[       OK \] |^\[  FAILED  \] |^\[  SKIPPED \] / { if ($4 == t) open = 0 }
       END { if (open) print t }' "$1"
}

# First reason given for a skipped test.
gtest_skip_reason() {
  awk '/: Skipped$/ { getline; print; exit }' "$1"
}

gtest_count() {  # LOG WORD -> N from "[  WORD  ] N tests"
  sed -n "s/^\[ *$2 *\] \([0-9][0-9]*\) tests*[,.].*/\1/p" "$1" | head -1
}

# compute-sanitizer's first report and its error count.
sanitizer_report() {
  local first count
  first=$(grep -m1 -E '^========= +(Invalid|Error|Barrier|Race|Program hit|Malloc|Leaked|Uninitialized|Cuda API error)' "$1" |
    sed 's/^========= *//')
  count=$(grep -m1 -E '^========= ERROR SUMMARY' "$1" | sed 's/^========= *//')
  [[ -n $first ]] && echo "$first; $count"
}

last_line() { grep -v '^[[:space:]]*$' "$1" | tail -1 | cut -c1-160; }

# verdict RC LOG LIMIT ELAPSED: sets `status` and `detail`.
verdict() {
  local rc=$1 log=$2 limit=$3 elapsed=$4 failed running="" sanitizer
  failed=$(gtest_failures "$log")
  sanitizer=$(sanitizer_report "$log")
  # timeout's own status (TERM sufficed, or KILL after the grace), not a
  # program killed early by something else.
  if ((rc == 124 || rc == 137)) && ((elapsed >= limit)); then
    status=FAIL
    running=$(gtest_running "$log")
    detail="timed out after $limit s${running:+ in $running}${failed:+; failed: $failed}"
    return
  fi
  if ((rc != 0)); then
    if grep -q 'Device not supported' "$log" && grep -q '^=========' "$log"; then
      status=SKIPPED detail="compute-sanitizer does not support this device"
      return
    fi
    status=FAIL
    if [[ -n $failed ]]; then
      detail="failed: $failed"
    elif [[ -n $sanitizer ]]; then
      detail=""
    elif ((rc > 128)); then
      running=$(gtest_running "$log")
      detail="killed by signal $((rc - 128))${running:+ in $running}"
    else
      detail="exit status $rc"
    fi
    [[ -z $failed && -z $sanitizer && -z $running && -n $(last_line "$log") ]] &&
      detail+=": $(last_line "$log")"
    [[ -n $sanitizer ]] && detail="$sanitizer${detail:+; $detail}"
    return
  fi
  if ! grep -q '^\[==========\] ' "$log"; then
    status=PASS detail=""
    return
  fi
  local ran passed skipped
  ran=$(sed -n 's/^\[==========\] \([0-9][0-9]*\) tests* from .* ran\..*/\1/p' "$log" | tail -1)
  passed=$(gtest_count "$log" PASSED)
  skipped=$(gtest_count "$log" SKIPPED)
  if [[ ${ran:-0} == 0 ]]; then
    status=SKIPPED detail="no test matches the filter"
  elif [[ ${passed:-0} == 0 && -n $skipped ]]; then
    status=SKIPPED detail="all $skipped skipped: $(gtest_skip_reason "$log")"
  else
    status=PASS detail="${passed:-0} passed${skipped:+, $skipped skipped: $(gtest_skip_reason "$log")}"
  fi
}

# step NAME LIMIT [VAR=VALUE...] PROGRAM [ARGS...]
step() {
  local name=$1 limit=$2
  shift 2
  local skip=${check_skip_all:-$check_skip_next} input=${check_stdin_next:-/dev/null}
  local needed=$check_needs_next
  check_skip_next="" check_stdin_next="" check_needs_next=""
  check_planned=$((check_planned + limit))
  [[ $check_mode == count ]] && return 0

  local vars=() program
  while [[ $# -gt 0 && $1 =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; do
    vars+=("$1")
    shift
  done
  program=${needed:-$1}
  if [[ -z $skip && ! -x $program ]]; then
    check_line FAIL "$name" "-/$limit s" "$program is missing (scripts/gpu_build.sh builds it)"
    check_failures=$((check_failures + 1))
    return 0
  fi
  if [[ -n $skip ]]; then
    [[ -x $program ]] || skip+="; $program is not built"
    check_line SKIPPED "$name" "-/$limit s" "$skip"
    return 0
  fi
  # Each step keeps to its limit, cut to what the budget has left (the kill
  # grace included); one that would get under half its limit is skipped.
  local left=$((check_budget - check_reserve - SECONDS - check_kill_grace))
  local given=$((limit < left ? limit : left))
  if ((given * 2 < limit)); then
    check_line SKIPPED "$name" "-/$limit s" "the check's time budget is spent ($((left > 0 ? left : 0)) s left)"
    return 0
  fi
  local start=$SECONDS rc status detail
  # (The outer redirection keeps the shell's own "Killed" notice out.)
  { timeout -k "$check_kill_grace" "$given" env "${vars[@]}" "$@" <"$input" >"$check_logs/$name.log" 2>&1; } 2>/dev/null
  rc=$?
  verdict "$rc" "$check_logs/$name.log" "$given" "$((SECONDS - start))"
  [[ $status == FAIL ]] && check_failures=$((check_failures + 1))
  check_line "$status" "$name" "$((SECONDS - start))/$given s" "$detail"
}
