#!/usr/bin/env bash
# Runs every fuzz target of a fuzzing build over its seed corpus for a bounded time.
# Usage: fuzz/run_fuzz.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
# Each target starts from fuzz/corpus/<target>/ (never written: new inputs go to a scratch
# folder) with a fixed seed for VM_FUZZ_RUNS inputs (1500), so that a run is repeatable: the
# same build tries the same inputs. SECONDS_PER_TARGET (60) only caps a slow machine; a target
# that reaches it has run fewer inputs, and says so. A crash leaves its
# input in BUILD_DIR/fuzz/artifacts/ and fails the run; reproduce it with
#   BUILD_DIR/fuzz/<target> BUILD_DIR/fuzz/artifacts/<target>-crash-...
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:?usage: run_fuzz.sh BUILD_DIR [SECONDS] [TARGET...]}" && pwd)
seconds=${2:-60}
wanted=${VM_FUZZ_RUNS:-1500}
shift 2 || shift $#
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(sed -n '/^set(VM_FUZZ_TARGETS/,/)/p' "$here/CMakeLists.txt" |
    grep -o 'fuzz_[a-z0-9_]*')
fi
artifacts=$build/fuzz/artifacts
scratch=$build/fuzz/scratch
mkdir -p "$artifacts"
status=0
for t in "${targets[@]}"; do
  bin=$build/fuzz/$t
  corpus=$here/corpus/$t
  if [ ! -x "$bin" ]; then
    echo "fuzz: $t was not built (see the configure output for why)" >&2
    status=1
    continue
  fi
  if [ -z "$(ls -A "$corpus" 2>/dev/null)" ]; then
    echo "fuzz: $t has no seed corpus in $corpus" >&2
    status=1
    continue
  fi
  rm -rf "${scratch:?}/$t"
  mkdir -p "$scratch/$t"
  log=$build/fuzz/$t.log
  t0=$SECONDS
  if "$bin" -seed=1 -runs="$wanted" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
      "$scratch/$t" "$corpus" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
    echo "fuzz: $t passed: $runs runs in $((SECONDS - t0))s, ${cov:-cov: ?}, seeds $(ls "$corpus" | wc -l)"
    [ "$runs" = "$wanted" ] || echo "fuzz: $t stopped at the time cap before $wanted runs"

  else
    echo "fuzz: $t FAILED (log $log)" >&2
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|==[0-9]+==' "$log" | head -20 >&2 || true
    tail -40 "$log" >&2
    status=1
  fi
done
exit $status
