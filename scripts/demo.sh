#!/usr/bin/env bash
# Sets up what is missing, builds the release tools, generates the built-in
# sample data set, shards it in the catalog layout, verifies the result and
# shows it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release

bin=build/release/bin
if [ ! -x "$bin/dat-shard" ] || [ ! -x "$bin/dat-synth" ]; then
  echo "demo: the dat-shard command line and the dat-synth sample generator are not built yet;"
  echo "demo: the libraries and their tests are (run scripts/test.sh)."
  exit 0
fi

work=${DEMO_DIR:-build/demo}
rm -rf "$work"
mkdir -p "$work"
"$bin/dat-synth" --out-dir "$work/dats"
"$bin/dat-shard" shard --eor-portal "$work/dats/portal.dat" --eor-cell "$work/dats/cell.dat" \
  --eor-local "$work/dats/local.dat" --out-dir "$work/dist" --layout catalog
"$bin/dat-shard" verify "$work/dist"
echo
echo "== $work/dist (top of the tree)"
find "$work/dist" -maxdepth 2 | sort | head -n 25
echo
echo "== $work/dist/manifest.json"
cat "$work/dist/manifest.json"
echo
