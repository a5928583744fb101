#!/bin/bash
# A HotSync on a terminal where no thread can be started (a user whose
# process limit is reached): the progress window's ticker cannot start.
# Usage: repro/no-threads.sh BUILD_DIR   (run as root; the run itself runs as nobody)
set -u
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d /tmp/nothreads.XXXXXX)
chmod 777 "$work"
export HOTSYNC_HOME=$work/home
"$build/bin/hotsync" device init "$work/image" --user Ann >/dev/null
mkdir -p "$work/desktop"
chmod -R 777 "$work"
script -qec "setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \
  env HOTSYNC_HOME=$work/home $build/bin/hotsync sync --device $work/image --desktop $work/desktop" /dev/null \
  > "$work/out" 2>&1
echo "exit: $?"
cat "$work/out" | tr -d '\r' | grep -v '^$' | grep -v "^  \|^Shadow\|=>" | head -40
