# The fuzzing pass: the libFuzzer harnesses of tests/fuzz, built with clang
# (AddressSanitizer, UndefinedBehaviorSanitizer, coverage) in a build of
# their own. Source it after common.sh; it defines functions only.

# The harnesses, by name; each has tests/fuzz/corpus/NAME (seeds) and may
# have tests/fuzz/regressions/NAME (inputs of faults found so far).
NOTARA_FUZZERS=(config_fuzz wire_fuzz control_fuzz midi_fuzz midifile_fuzz status_fuzz)

# Builds the harnesses in build directory $1.
fuzz_build() {
  local dir=$1
  build_targets "$dir" "${NOTARA_FUZZERS[@]}" -- -DCMAKE_CXX_COMPILER=clang++ \
    -DNOTARA_WERROR=ON -DNOTARA_FUZZ=ON -DNOTARA_SANITIZE=ON -DNOTARA_BUILD_TESTS=OFF
}

# Runs harness $2 of build directory $1: first every seed and regression
# input once, then fuzzing for $3 seconds (none when 0), keeping what it
# finds in $1/corpus/NAME and a crashing input in $1/artifacts. Prints
# libFuzzer's summary line (runs, coverage, features); fails on a finding.
fuzz_run() {
  local dir=$1 name=$2 seconds=$3
  local bin=$dir/tests/fuzz/$name
  local seeds=$NOTARA_ROOT/tests/fuzz/corpus/$name
  local regressions=$NOTARA_ROOT/tests/fuzz/regressions/$name
  local work=$dir/corpus/$name
  local inputs=("$seeds")
  [ -d "$regressions" ] && inputs+=("$regressions")
  mkdir -p "$work" "$dir/artifacts"
  local log=$dir/$name.log
  log "fuzz $name: seeds and regression inputs"
  # Inputs given as files run once each, whatever their size.
  if ! "$bin" -runs=0 -rss_limit_mb=4096 $(find "${inputs[@]}" -type f | sort) >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  [ "$seconds" -gt 0 ] || return 0
  log "fuzz $name: $seconds s"
  if ! "$bin" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$name-" "$work" "${inputs[@]}" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    return 1
  fi
  # The last status line: runs, coverage (cov) and features (ft).
  grep -E '^#[0-9]+' "$log" | tail -n 1 | sed "s/^/$name: /"
}

# Builds the harnesses in $1 and runs each for $2 seconds; fails when any
# harness finds a fault. Harness names after $2 choose some of them.
fuzz_all() {
  local dir=$1 seconds=$2
  shift 2
  local names=("$@")
  [ ${#names[@]} -gt 0 ] || names=("${NOTARA_FUZZERS[@]}")
  fuzz_build "$dir"
  local name status=0
  for name in "${names[@]}"; do
    fuzz_run "$dir" "$name" "$seconds" || status=1
  done
  return $status
}
