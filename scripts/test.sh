#!/usr/bin/env bash
# Installs what is missing, then runs every check:
#   1. the whole suite on an optimised build (unit, adapter, integration, interop, soak);
#   2. the suite again built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the fuzz targets: their seeds replayed, then a short run of each.
# KESTREL_QUICK=1 runs step 1 only; KESTREL_FUZZ_SECONDS sets step 3's run (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

step() { printf '\n== %s\n' "$*"; }

step "build and test (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 300

[ "${KESTREL_QUICK:-0}" = 1 ] && exit 0

step "build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=ON \
  -DKESTREL_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j "$jobs"
# The interop peer is a separate program; nothing of ours runs in it that the first pass did
# not already cover.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 600 -LE interop

step "fuzz targets"
scripts/fuzz.sh "${KESTREL_FUZZ_SECONDS:-10}"
