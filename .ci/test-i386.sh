#!/usr/bin/env bash
# The Windows CI's i386 check on three loaders: one the kernel refuses (a
# binary it has no format for, as a kernel without 32-bit support answers
# the wine loader), a missing one, and a shell that runs. The real loader is
# checked by the Windows CI itself.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/i386.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "i386 check: $*"; exit 1; }

# ELF magic and a class byte no kernel knows: execve fails with ENOEXEC.
printf '\177ELF\377\001\001\000(){ syntax' >"$dir/wine"
chmod +x "$dir/wine"
i386_check "$dir/wine" || fail "a refused loader failed the check"
[[ $I386_OK == 0 ]] || fail "a refused loader counted as runnable"
grep -q "Exec format error" <<<"$I386_WHY" || fail "reason not the kernel's: $I386_WHY"

if i386_check "$dir/absent" >/dev/null; then fail "a missing loader passed"; fi

printf '#!/bin/sh\necho wine-0\n' >"$dir/ok"
chmod +x "$dir/ok"
i386_check "$dir/ok" || fail "a runnable loader failed"
[[ $I386_OK == 1 ]] || fail "a runnable loader counted as refused"

printf '#!/bin/sh\nexit 3\n' >"$dir/broken"
chmod +x "$dir/broken"
if i386_check "$dir/broken" >/dev/null; then fail "a failing loader passed"; fi
echo "   i386 check: refused, missing, runnable and failing loaders told apart"
