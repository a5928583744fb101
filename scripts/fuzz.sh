#!/bin/bash
# Runs every fuzz target of a fuzz build for a bounded time each:
#   scripts/fuzz.sh BUILD_DIR SECONDS
# Seeds come from fuzz/corpus/<target>/ (kept in the repository); new finds
# go to a scratch copy, so the repository corpus changes only by hand. Inputs
# that once crashed a target (fuzz/regressions/<target>/, kept by
# scripts/fuzz-long.sh) are replayed first, one by one.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}; secs=${2:-60}
shopt -s nullglob
status=0
for exe in "$dir"/bin/fuzz_*; do
  name=$(basename "$exe"); name=${name#fuzz_}
  work=$(mktemp -d); mkdir -p "$work/corpus"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null || true
  regressions=(fuzz/regressions/"$name"/*)
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "--- fuzz_$name: replaying ${#regressions[@]} regression input(s)"
    if ! "$exe" -rss_limit_mb=2048 -timeout=20 "${regressions[@]}" > "$work/replay.log" 2>&1; then
      tail -30 "$work/replay.log"; echo "fuzz_$name FAILED on a regression input"; status=1
    fi
  fi
  echo "--- fuzz_$name for $secs s"
  if ! (cd "$work" && "$OLDPWD/$exe" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=20 \
        -print_final_stats=1 corpus 2>&1 | tail -15); then
    echo "fuzz_$name FAILED"; status=1
  fi
  rm -rf "$work"
done
exit $status
