#!/bin/bash
# Builds the Debian package from build/, unpacks it into a scratch root and
# runs the installed programs there: help, manual pages, and a synchronization
# of the installed example with nothing set but HOTSYNC_HOME.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}

fail() { echo "package test FAILED: $*" >&2; exit 1; }

[ -f "$BUILD/CPackConfig.cmake" ] || fail "$BUILD is not a configured build folder"
cmake --build "$BUILD" >/dev/null || fail "build failed"
(cd "$BUILD" && rm -f tolvex_*.deb && cpack -G DEB >/dev/null) || fail "cpack failed"
DEB=$(ls "$BUILD"/tolvex_*.deb 2>/dev/null | head -n1)
[ -n "$DEB" ] || fail "no package made in $BUILD"

SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
ROOT="$SCRATCH/root"
dpkg -x "$DEB" "$ROOT" || fail "dpkg -x $DEB"

depends=$(dpkg-deb -f "$DEB" Depends)
for dep in libexpat1 libwxbase3.2-1; do
  grep -q "$dep" <<<"$depends" || fail "package does not depend on $dep"
done

HOTSYNC="$ROOT/usr/bin/hotsync"
LIBDIR="$ROOT/usr/lib/tolvex"
for f in "$HOTSYNC" "$ROOT/usr/bin/conduit-cleanup" "$LIBDIR/libTolvex2.so" \
         "$LIBDIR/libsyncmgr.so" "$LIBDIR/libcondmgr.so" "$LIBDIR/libhostos.so" \
         "$ROOT/usr/share/doc/tolvex/copyright" "$ROOT/usr/share/doc/tolvex/changelog.gz"; do
  [ -e "$f" ] || fail "missing from the package: ${f#"$ROOT"}"
done
# Private libraries only in the private folder.
stray=$(find "$ROOT/usr/lib" -maxdepth 1 -name '*.so*' | head -n1)
[ -z "$stray" ] || fail "a library outside /usr/lib/tolvex: ${stray#"$ROOT"}"
gzip -t "$ROOT/usr/share/doc/tolvex/changelog.gz" || fail "changelog.gz is not gzip"

# Nothing from the build tree may be reached: no LD_LIBRARY_PATH, and the
# installed programs must resolve the installed libraries.
unset LD_LIBRARY_PATH
if ldd "$HOTSYNC" | grep -q "not found"; then fail "installed hotsync has unresolved libraries"; fi
if ldd "$HOTSYNC" | grep -q "$(cd "$BUILD" && pwd)"; then fail "installed hotsync uses the build tree"; fi

"$HOTSYNC" --help >/dev/null || fail "installed hotsync --help"
for c in sync configure device; do
  "$HOTSYNC" $c --help >/dev/null || fail "installed hotsync $c --help"
done

for page in hotsync conduit-cleanup; do
  f="$ROOT/usr/share/man/man1/$page.1.gz"
  [ -e "$f" ] || fail "manual page $page.1.gz not installed (compressed)"
  warnings=$(MANWIDTH=80 man --warnings -l "$f" 2>&1 >/dev/null) || fail "man -l $page.1"
  [ -z "$warnings" ] || fail "man -l $page.1 warns: $warnings"
done

EXAMPLE="$ROOT/usr/share/tolvex/example"
[ -d "$EXAMPLE/handheld" ] && [ -d "$EXAMPLE/desktop" ] || fail "example not installed"
cp -r "$EXAMPLE/handheld" "$EXAMPLE/desktop" "$EXAMPLE/home" "$SCRATCH/"
env -i PATH=/usr/bin:/bin HOTSYNC_HOME="$SCRATCH/home" \
  "$HOTSYNC" sync --device "$SCRATCH/handheld" --desktop "$SCRATCH/desktop" >"$SCRATCH/out.txt" 2>&1 \
  || { cat "$SCRATCH/out.txt" >&2; fail "installed hotsync could not synchronize the example"; }
[ -s "$SCRATCH/desktop/lastsync.txt" ] || fail "the example synchronization wrote no lastsync.txt"
grep -q "^Tolvk-Garden: merged; " "$SCRATCH/out.txt" || { cat "$SCRATCH/out.txt" >&2; fail "no summary line for Tolvk-Garden"; }
grep -q "Synchronize (Config: Fast" "$SCRATCH/desktop/lastsync.txt" || fail "the example was not a fast merge"

# An image made from the example's .pdb files, as from a backup, and shown.
env -i PATH=/usr/bin:/bin HOTSYNC_HOME="$SCRATCH/home" \
  "$HOTSYNC" device init "$SCRATCH/palm" --from "$EXAMPLE/handheld" --user Ann >"$SCRATCH/out.txt" 2>&1 </dev/null \
  || { cat "$SCRATCH/out.txt" >&2; fail "installed hotsync could not make an image from the example's .pdb files"; }
env -i PATH=/usr/bin:/bin HOTSYNC_HOME="$SCRATCH/home" \
  "$HOTSYNC" device dump "$SCRATCH/palm" Tolvk-Garden >"$SCRATCH/out.txt" 2>&1 \
  || { cat "$SCRATCH/out.txt" >&2; fail "installed hotsync device dump"; }
grep -q "^  outline, " "$SCRATCH/out.txt" || fail "device dump showed no outline of Tolvk-Garden"
env -i PATH=/usr/bin:/bin HOTSYNC_HOME="$SCRATCH/home" \
  "$HOTSYNC" device dump --json "$SCRATCH/palm" >"$SCRATCH/out.json" 2>&1 || fail "installed hotsync device dump --json"
grep -q '^{"image":' "$SCRATCH/out.json" || fail "device dump --json wrote no JSON document"

echo "package test passed"
