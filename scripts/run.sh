#!/usr/bin/env bash
# Builds zlbox and runs it; with no arguments, on the virtual box: the status,
# an incoming call, an outgoing call, a recorded message and its playback,
# each followed by one line that says what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
# libsndfile and libsoxr: zlbox plays any sound file (the caller's voice below).
need=(cmake ninja-build g++ libgtest-dev libcli11-dev pkg-config libsndfile1-dev libsoxr-dev)
missing=()
for p in "${need[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# zlbox_far_end: the caller's voice, read by espeak-ng if installed, else tones.
cmake --build build -j"$(nproc)" --target zlbox zlbox_far_end
if (($# > 0)); then
  exec ./build/zlbox "$@"
fi

out=""
# Runs zlbox, shows its output indented, keeps it in $out.
step() {
  echo
  echo "\$ zlbox $*"
  out=$(./build/zlbox "$@" 2>&1) || { printf '%s\n' "$out" | sed 's/^/    /'; echo "=> zlbox $1 failed"; exit 1; }
  printf '%s\n' "$out" | sed 's/^/    /'
}
said() { printf '%s\n' "$out" | sed -n "s|^$1||p" | tail -n 1; }

step status
echo "=> the virtual box on device 0 was reached; above, its status word with each bit named"

step call
echo "=> a call came in from $(said 'caller: '), zlbox answered it, the caller pressed $(said 'keys: ') and zlbox hung up"

step dial 02154321
echo "=> zlbox dialled 02154321, heard the ringback (450 Hz tone), the far end answered, zlbox hung up"

message=build/run-message.wav
step record "$message" --far-end build/zlbox_voice.wav --keys 5 --seconds 20
echo "=> a call from $(said 'caller: ') was answered and recorded to $message:" \
     "$(said "$message: " | sed 's/ of A-law audio//') of the caller's voice and key $(said 'keys: ')"

step play "$message"
echo "=> the recording was played back to the line and zlbox hung up; listen to it yourself with: play $message"
