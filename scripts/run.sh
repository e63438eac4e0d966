#!/usr/bin/env bash
# Builds zlbox and runs it; with no arguments, on the virtual box: the status,
# an incoming call and an outgoing call.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! dpkg -s libgtest-dev libcli11-dev >/dev/null 2>&1 || ! command -v ninja >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake ninja-build g++ libgtest-dev libcli11-dev
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zlbox
if (($# == 0)); then
  ./build/zlbox status
  ./build/zlbox call
  ./build/zlbox dial 02154321
  message=$(mktemp --suffix=.wav)
  trap 'rm -f "$message"' EXIT
  ./build/zlbox record "$message" --seconds 3 --keys 5
  ./build/zlbox play "$message"
  exit 0
fi
exec ./build/zlbox "$@"
