#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test twice: in a plain
# debug build and under AddressSanitizer + UndefinedBehaviorSanitizer, with
# warnings treated as errors; then runs every fuzz target for a few seconds
# (skipped when presets are named on the command line).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

presets=(ci-debug ci-asan)
fuzz=1
if [ "$#" -gt 0 ]; then presets=("$@"); fuzz=0; fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for preset in "${presets[@]}"; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== ${preset}: test"
  ctest --preset "$preset"
done

if [ "$fuzz" -eq 1 ]; then
  bash scripts/fuzz.sh --seconds 5
fi
