#!/bin/bash
# Sets everything up, builds, and runs every test: the plain build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a bounded run of
# every fuzz target (when clang is present). Fails loudly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
JOBS=$(nproc)

echo "=== build and test (build/)"
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$JOBS" --timeout 900)

echo "=== build and test under ASan + UBSan (build-asan/)"
bash scripts/build.sh build-asan -DTOLVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && TOLVEX_SANITIZED=1 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$JOBS" --timeout 1800)

if [ -f scripts/package-test.sh ]; then
  echo "=== Debian package: build, unpack, run the installed programs"
  bash scripts/package-test.sh
fi

if command -v clang++ >/dev/null; then
  echo "=== fuzz targets (build-fuzz/), ${FUZZ_SECONDS:-60} s each"
  CC=clang CXX=clang++ CFLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    CXXFLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    bash scripts/build.sh build-fuzz -DTOLVEX_FUZZ=ON -DTOLVEX_TESTS=OFF
  bash scripts/fuzz.sh build-fuzz "${FUZZ_SECONDS:-60}"
fi
echo "=== all tests passed"
