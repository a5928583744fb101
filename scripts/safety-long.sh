#!/bin/bash
# The long kill run, by hand (not part of scripts/test.sh):
#   scripts/safety-long.sh [KILLS] [TOP_ITEMS]
# Builds build/ and SIGKILLs `hotsync sync` KILLS times (default 60) at
# moments spread over a run, and once at each rename of a list, on five lists
# of TOP_ITEMS top-level items with nine children each (default 60: 3000
# items and more), each kill followed by a normal run. Prints the kills that
# landed mid-run and any item missing from the live files of its list; the log
# is build/safety-long.log.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-60}; tops=${2:-60}
nice -n 10 bash scripts/build.sh build
log=build/safety-long.log
echo "=== $(date -u '+%F %T') $kills kills, $tops top-level items a list" | tee -a "$log"
TOLVEX_KILLS=$kills TOLVEX_KILL_TOPS=$tops nice -n 10 build/bin/test_safety --gtest_filter='Kill*' 2>&1 | tee -a "$log" |
  grep -E 'kills that landed|missing:|Failure|FAILED|PASSED'
