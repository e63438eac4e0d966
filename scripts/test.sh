#!/usr/bin/env bash
# Builds everything and runs the test suite on the virtual box.
set -euo pipefail
cd "$(dirname "$0")/.."
# libsndfile and spandsp: the tests read recordings and hear keys with them;
# CLI11: zlbox's arguments; libsoxr: zlbox plays any sound file; python3:
# zlbox's output read through a pipe.
need=(cmake ninja-build g++ libgtest-dev pkg-config libsndfile1-dev libspandsp-dev libcli11-dev libsoxr-dev python3)
missing=()
for p in "${need[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
