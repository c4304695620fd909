#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset) and runs each one for a
# while over a fresh copy of its seed corpus.
#
#   scripts/fuzz.sh [--seconds N | --minutes N] [target...]
#
# Targets are named as in fuzz/<name>_fuzz.cpp (default: all of them, one
# after another; default time 60 seconds each). Prints executions and
# coverage per target and exits non-zero when any target crashed, leaked,
# ran out of memory or timed out; the failing input is left in
# build/fuzz/runs/<name>/artifacts/ (minimise it with
# `build/fuzz/bin/<name>_fuzz -minimize_crash=1 -runs=10000 <input>`).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/fuzz.sh [--seconds N | --minutes N] [target...]" >&2
  exit 2
}

seconds=60
targets=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) [ "$#" -ge 2 ] || usage; seconds="$2"; shift 2 ;;
    --minutes) [ "$#" -ge 2 ] || usage; seconds=$(( $2 * 60 )); shift 2 ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) targets+=("$1"); shift ;;
  esac
done
case "$seconds" in ''|*[!0-9]*) usage ;; esac
[ "$seconds" -gt 0 ] || usage

if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    targets+=("${name%_fuzz}")
  done
fi
for name in "${targets[@]}"; do
  if [ ! -f "fuzz/${name}_fuzz.cpp" ]; then
    echo "fuzz: no target '${name}' (expected fuzz/${name}_fuzz.cpp)" >&2
    exit 2
  fi
done

bash scripts/setup.sh
echo "== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Leaks are failures; the sanitizers' own reports name the fault.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Symbolised stack traces when the symbolizer of clang 19 is installed.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/lib/llvm-19/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
fi

failed=()
for name in "${targets[@]}"; do
  run="build/fuzz/runs/${name}"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  if [ -d "fuzz/corpus/${name}" ]; then cp -R "fuzz/corpus/${name}/." "$run/corpus/"; fi
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10
        -print_final_stats=1 -artifact_prefix="$run/artifacts/")
  if [ -f "fuzz/dict/${name}.dict" ]; then args+=(-dict="fuzz/dict/${name}.dict"); fi

  echo "== fuzz: ${name} for ${seconds}s"
  status=0
  "build/fuzz/bin/${name}_fuzz" "${args[@]}" "$run/corpus" >"$run/log" 2>&1 || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -n 1)
  cov=$(grep -E '^#[0-9]+' "$run/log" | tail -n 1 | sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1 ft \2/p')
  corpus=$(find "$run/corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    printf '%-18s ok      executions %-10s %s, corpus %s\n' "$name" "${execs:-?}" "${cov:-cov ? ft ?}" "$corpus"
  else
    kind="crash"
    if grep -q 'ERROR: libFuzzer: out-of-memory\|ERROR: libFuzzer: malloc' "$run/log"; then kind="out of memory"
    elif grep -q 'ERROR: libFuzzer: timeout' "$run/log"; then kind="timeout"
    elif grep -q 'ERROR: LeakSanitizer' "$run/log"; then kind="leak"
    fi
    printf '%-18s FAILED  %s after %s executions; log %s\n' "$name" "$kind" "${execs:-?}" "$run/log"
    grep -E 'ERROR:|runtime error:|fuzz property failed|SUMMARY:' "$run/log" | head -n 5 | sed 's/^/    /'
    ls "$run/artifacts" | sed "s|^|    artifact: $run/artifacts/|"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran clean"
echo "fuzz: ${#targets[@]} passed, 0 failed"
