#!/usr/bin/env bash
# The long soak, on demand: 100,000 level-1 pages from 256 controls sharing one event loop,
# through snpp-sandbox in its own process. Checks exactly-once delivery and reporting, no
# descriptor leak and flat resident memory (see tests/soak/soak.cpp). The short run is the CTest
# test soak.short (ctest -L soak).
#
#   scripts/soak.sh [PAGES [CONTROLS]]
#   ASAN=1 scripts/soak.sh 2000 64      # the same under AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
pages=${1:-100000}
controls=${2:-256}
flags=()
if [ "${ASAN:-0}" = 1 ]; then
  build=${BUILD_DIR:-build-asan}
  flags=(-DKESTREL_SANITIZE=ON)
else
  build=${BUILD_DIR:-build}
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=ON \
  "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kestrel_soak snpp-sandbox
exec "$build/tests/soak/kestrel_soak" --sandbox "$build/tools/sandbox/snpp-sandbox" \
  --pages "$pages" --controls "$controls" --max-seconds "${MAX_SECONDS:-600}"
