#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz, replays each target's seed corpus
# (fuzz/corpus/<target>/), then fuzzes each target for SECONDS (default 30).
# Exits non-zero when any target crashes, leaks, times out or runs out of memory; the input
# that did it is kept in build-fuzz/fuzz/artifacts/<target>/.
#
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS]   (seconds of fuzzing per target, default 30)" >&2
  exit 2
fi

scripts/deps.sh
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_FUZZ=ON -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target fuzz_all

# The working corpus grows in the build folder, so later runs start where this one ends; the
# committed seeds stay small.
work="$build/fuzz/work"
artifacts="$build/fuzz/artifacts"
failed=()
while read -r target; do
  [ -n "$target" ] || continue
  bin="$build/fuzz/$target"
  seeds="fuzz/corpus/$target"
  log="$build/fuzz/$target.log"
  mkdir -p "$work/$target" "$artifacts/$target" "$seeds"
  rm -f "$artifacts/$target"/*

  shopt -s nullglob
  seed_files=("$seeds"/*)
  shopt -u nullglob
  echo "== $target: replaying ${#seed_files[@]} seeds"
  if [ ${#seed_files[@]} -gt 0 ] &&
     ! "$bin" -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$artifacts/$target/" \
         "${seed_files[@]}" >"$log" 2>&1; then
    echo "!! $target: a seed fails; see $log" >&2
    grep -E "invariant broken|ERROR:|SUMMARY" -A1 "$log" | head -6 >&2 || true
    failed+=("$target (seeds)")
    continue
  fi

  echo "== $target: fuzzing for ${seconds} s"
  if "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$artifacts/$target/" "$work/$target" "$seeds" >"$log" 2>&1; then
    grep -E "^Done|stat::(number_of_executed_units|peak_rss_mb)" "$log" | sed "s/^/   /"
  else
    echo "!! $target: failed; see $log" >&2
    grep -E "invariant broken|ERROR:|SUMMARY" -A1 "$log" | head -6 >&2 || true
    for input in "$artifacts/$target"/*; do
      [ -e "$input" ] && echo "   reproduce with: $bin $input" >&2
    done
    failed+=("$target")
  fi
done <"$build/fuzz/targets.txt"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds} s with no crash, leak, time-out or memory blow-up"
