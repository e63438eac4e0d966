#!/usr/bin/env bash
# Builds the fuzzers and runs each for $1 seconds (default 60) on its kept
# corpus: the report dispatcher, and the served driver's frames on both
# sides. A crash fails the run and leaves its input under artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
build="$here/../../build-fuzz"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
mkdir -p "$build/artifacts"
run() {
  local target=$1 corpus=$2 work
  work="$(mktemp -d)"
  cp "$corpus"/* "$work"/ 2>/dev/null || true
  echo "== $target"
  "$build/$target" -max_total_time="$seconds" -timeout=30 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$work" "$corpus" 2>&1 | tail -25
  rm -rf "$work"
}
run fuzz_dispatch "$here/corpus"
run fuzz_wire "$here/corpus_wire"
