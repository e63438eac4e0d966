#!/usr/bin/env bash
# Builds the dispatcher fuzzer and runs it for $1 seconds (default 60) on the
# kept corpus; a crash fails the run and leaves its input under artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-60}"
build="$here/../../build-fuzz"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
work="$(mktemp -d)"
cp "$here"/corpus/* "$work"/ 2>/dev/null || true
mkdir -p "$build/artifacts"
"$build/fuzz_dispatch" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "$work" "$here/corpus" 2>&1 | tail -25
rm -rf "$work"
