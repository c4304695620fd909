#!/usr/bin/env bash
# Sets up what is missing, builds the release tools, generates the built-in
# sample data set, shards it in the catalog layout, verifies the result and
# shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target dat-shard dat-synth

bin=build/release/bin
work=${DEMO_DIR:-build/demo}
rm -rf "$work"
mkdir -p "$work"

echo "== sample data set"
"$bin/dat-synth" --out-dir "$work/dats" --scale "${DEMO_SCALE:-1}"
echo
echo "== shard (catalog layout, spawn landblock 0xA9B4)"
"$bin/dat-shard" shard --eor-portal "$work/dats/portal.dat" --eor-cell "$work/dats/cell.dat" \
  --eor-local "$work/dats/local.dat" --out-dir "$work/dist" --layout catalog
echo
echo "== verify"
"$bin/dat-shard" verify "$work/dist"
echo
echo "== $work/dist (top of the tree)"
find "$work/dist" -maxdepth 2 | sort | head -n 25
echo
echo "== $work/dist/manifest.json"
cat "$work/dist/manifest.json"
echo
echo
echo "== boot.qra (first records)"
"$bin/dat-shard" ls "$work/dist/boot.qra" | head -n 12
