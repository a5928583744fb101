#!/bin/bash
# Long fuzzing, by hand (not part of scripts/test.sh):
#   scripts/fuzz-long.sh [SECONDS_PER_TARGET] [TARGET...]
# Builds the fuzz targets into build-fuzz/ (or $FUZZ_BUILD) the way
# scripts/test.sh does, then runs each target for SECONDS_PER_TARGET (default
# 1200), FUZZ_PARALLEL (2) at a time under nice -n FUZZ_NICE (19). Seeds are
# fuzz/corpus/<target>/ plus fuzz/regressions/<target>/; new finds stay in the
# scratch folder <build>/fuzz-long/<target>/ unless FUZZ_MERGE=1, which adds
# back to fuzz/corpus/<target>/ only the inputs that reach new code
# (-merge=1), so the repository corpus stays small. A crashing input is copied
# to fuzz/regressions/<target>/, which scripts/fuzz.sh replays on every test
# run, and the target is restarted for the rest of its time.
# Prints executions per target and every crash; the full log is
# <build>/fuzz-long/fuzz-long.log. Exits 1 if anything crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-1200}; shift || true
parallel=${FUZZ_PARALLEL:-2}; niceness=${FUZZ_NICE:-19}
dir=${FUZZ_BUILD:-build-fuzz}

if [ -z "${FUZZ_NO_BUILD:-}" ]; then
  CC=clang CXX=clang++ CFLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    nice -n "$niceness" bash scripts/build.sh "$dir" -DTOLVEX_FUZZ=ON -DTOLVEX_TESTS=OFF
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$dir"/bin/fuzz_*; do n=$(basename "$exe"); targets+=("${n#fuzz_}"); done
fi
out=$dir/fuzz-long; mkdir -p "$out"
log=$out/fuzz-long.log
echo "=== $(date -u '+%F %T') fuzz-long: ${targets[*]}, $secs s each, $parallel at a time" | tee -a "$log"

# One target for its whole time; restarts after a crash so one find does not
# end the run. Writes "<executions> <crashes> <seconds>" to $out/<target>/result.
run_target() {
  local name=$1 exe=$PWD/$dir/bin/fuzz_$1 work=$out/$1
  mkdir -p "$work/corpus" "$work/crashes"
  local seed
  for seed in "fuzz/corpus/$name" "fuzz/regressions/$name"; do
    [ -d "$seed" ] && cp -r "$seed/." "$work/corpus/" 2>/dev/null || true
  done
  local start=$SECONDS execs=0 crashes=0 left=$secs rounds=0
  while [ "$left" -gt 0 ] && [ $rounds -lt 20 ]; do
    rounds=$((rounds + 1))
    local before; before=$(ls "$work/crashes" | wc -l)
    (cd "$work" && nice -n "$niceness" "$exe" -max_total_time="$left" -rss_limit_mb=2048 -timeout=20 \
       -print_final_stats=1 -artifact_prefix=crashes/ corpus) > "$work/round-$rounds.log" 2>&1 || true
    local n; n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/round-$rounds.log" | tail -1)
    execs=$((execs + ${n:-0}))
    local after; after=$(ls "$work/crashes" | wc -l)
    if [ "$after" -gt "$before" ]; then
      crashes=$((crashes + after - before))
      mkdir -p "fuzz/regressions/$name"
      local f
      for f in "$work/crashes"/*; do
        [ -e "fuzz/regressions/$name/$(basename "$f")" ] || {
          cp "$f" "fuzz/regressions/$name/"
          echo "!!! fuzz_$name: $(basename "$f") kept as fuzz/regressions/$name/$(basename "$f")"
          grep -m3 -E 'ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|==[0-9]+==ERROR' \
            "$work/round-$rounds.log" | sed 's/^/    /'
        }
      done
    elif [ -z "$n" ]; then
      echo "!!! fuzz_$name stopped without statistics, see $work/round-$rounds.log"; break
    fi
    left=$((secs - (SECONDS - start)))
  done
  if [ -n "${FUZZ_MERGE:-}" ]; then
    (nice -n "$niceness" "$exe" -merge=1 -rss_limit_mb=2048 -timeout=20 "fuzz/corpus/$name" "$work/corpus" \
       > "$work/merge.log" 2>&1) || echo "!!! fuzz_$name: merge failed, see $work/merge.log"
  fi
  echo "$execs $crashes $((SECONDS - start))" > "$work/result"
  echo "--- fuzz_$name: $execs executions in $((SECONDS - start)) s, $crashes crash(es), corpus $(ls "$work/corpus" | wc -l) inputs"
}

pids=()
for name in "${targets[@]}"; do
  [ -x "$dir/bin/fuzz_$name" ] || { echo "no target fuzz_$name" | tee -a "$log"; exit 2; }
  run_target "$name" 2>&1 | tee -a "$log" &
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
done
wait

status=0
echo "=== $(date -u '+%F %T') summary" | tee -a "$log"
for name in "${targets[@]}"; do
  read -r execs crashes took < "$out/$name/result"
  printf '%-14s %12s executions %6s s %3s crash(es)\n' "fuzz_$name" "$execs" "$took" "$crashes" | tee -a "$log"
  [ "$crashes" -eq 0 ] || status=1
done
exit $status
