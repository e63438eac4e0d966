#!/usr/bin/env bash
# zPLR.dll for Visual C++ applications, both architectures: zPLR.h compiles
# warning-free for Visual C++, the DLL exports exactly the names such a
# compile of zPLR.h imports, zPLR.lib is installed, and a test application
# built for the Visual C++ ABI (clang, lld-link, no runtime) takes a call
# under wine from a box served on Linux over TCP.
#
# Called at the end of .ci/windows.sh (its build-win-* trees and wine prefix);
# alone it builds what it needs. I386_OK=0 skips the i686 run.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/phases.sh

export DEBIAN_FRONTEND=noninteractive
need=(clang lld llvm python3 cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64)
[[ ${I386_OK:-1} == 1 ]] && need+=(wine wine32:i386)
APT_FLAGS=(--no-install-recommends)
phase "Visual C++ packages" install_missing "${need[@]}"
declare -A WINE=([x86_64]=/usr/lib/wine/wine64 [i686]=/usr/lib/wine/wine)
WINESERVER=/usr/lib/wine/wineserver64
NUMBER=02155501234
KEYS=42#

build() {
  local arch=$1 b=build-win-$1 p
  if [[ ! -f $b/build.ninja ]]; then
    cmake -S . -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPLR_BUILD_BENCH=OFF -DZPLR_BUILD_TESTS=OFF >/dev/null
  fi
  # A tree configured before llvm was installed has no zPLR.lib yet.
  cmake -S . -B "$b" -DZPLR_LLVM_DLLTOOL="$(command -v llvm-dlltool)" >/dev/null
  cmake --build "$b" -j2
  clang --target="$arch-pc-windows-msvc" -std=c++11 -fsyntax-only -Wall -Wextra -pedantic -Werror -Iinclude \
    -x c++ - <<<'#include "zPLR.h"'
  echo "   zPLR.h: no warning from clang for $arch-pc-windows-msvc (-Wall -Wextra -pedantic)"
  python3 scripts/msvc_names.py --arch "$arch" --check "cmake/msvc/zPLR-$arch.def" --dll "$b/zPLR.dll"

  # The test application: its own kernel32 import library, the DLL's zPLR.lib.
  local m=$b/msvc k32=(DeleteFileA@4 ExitProcess@4 GetStdHandle@4 Sleep@4 WriteFile@20)
  mkdir -p "$m"
  [[ $arch == x86_64 ]] && k32=("${k32[@]%@*}")
  printf 'LIBRARY kernel32.dll\nEXPORTS\n' >"$m/kernel32.def"
  printf '%s\n' "${k32[@]}" >>"$m/kernel32.def"
  llvm-dlltool -m "$([[ $arch == i686 ]] && echo i386 || echo i386:x86-64)" -k -d "$m/kernel32.def" \
    -l "$m/kernel32.lib"
  clang --target="$arch-pc-windows-msvc" -std=c++14 -O1 -Wall -Wextra -Werror -fno-exceptions -fno-rtti \
    -Iinclude -c tests/msvc/MsvcApp.cpp -o "$m/MsvcApp.obj"
  lld-link /nologo /subsystem:console /entry:AppMain /nodefaultlib "/out:$b/zplr_msvc_app.exe" \
    "$m/MsvcApp.obj" "$b/zPLR.lib" "$m/kernel32.lib"
  echo "   $b/zplr_msvc_app.exe: imports $(llvm-readobj --coff-imports "$b/zplr_msvc_app.exe" \
    | grep -c 'Symbol: ?') members of CZusb_IO from zPLR.dll"

  p=$m/install
  rm -rf "$p"
  cmake --install "$b" --prefix "$p" >/dev/null
  for f in bin/zPLR.dll lib/zPLR.lib lib/libzPLR.dll.a lib/zPLR.def include/zPLR.h; do
    test -s "$p/$f" || { echo "$arch: $f not installed"; exit 1; }
  done
  echo "   installed: lib/zPLR.lib beside lib/libzPLR.dll.a and lib/zPLR.def"
  rm -rf "$p"
}
for arch in i686 x86_64; do
  phase "Visual C++ $arch: header, exports, app" build "$arch"
done

export WINEPREFIX=${WINEPREFIX:-$PWD/build-win-x86_64/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
  timeout 300 "${WINE[x86_64]}" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
fi

# The application under wine on a box served here over TCP; this side rings
# and presses the keys when the application asks for them.
run() {
  local arch=$1 dir port server app rc=0 root=$PWD
  [[ $arch == i686 && ${I386_OK:-1} == 0 ]] && { echo "   skipped: this machine runs no i386 programs"; return 0; }
  dir=$(mktemp -d)
  serve_box_on_tcp "$dir"
  (cd "$dir" && ZPLR_DRIVER="tcp:127.0.0.1:$port" ZPLR_TOKEN_FILE="Z:${dir//\//\\}\\token" \
    timeout 180 "${WINE[$arch]}" "$root/build-win-$arch/zplr_msvc_app.exe" >"$dir/app.log" 2>&1) &
  app=$!
  for _ in $(seq 600); do grep -q "waiting for a call" "$dir/app.log" && break; sleep 0.1; done
  ZPLR_DRIVER="tcp:127.0.0.1:$port" build/zlbox line ring "$NUMBER" >/dev/null
  for _ in $(seq 100); do grep -q "PickUp: 1" "$dir/app.log" && break; sleep 0.1; done
  ZPLR_DRIVER="tcp:127.0.0.1:$port" build/zlbox line keys "$KEYS" >/dev/null
  wait "$app" || rc=1
  tr -d '\r' <"$dir/app.log" | sed 's/^/   /'
  grep -q "all checks passed" "$dir/app.log" || rc=1
  kill "$server"; wait "$server" || true
  rm -rf "$dir"
  unset ZPLR_TOKEN_FILE
  return $rc
}
for arch in i686 x86_64; do
  phase "Visual C++ $arch app, wine, served box" run "$arch"
done
phase_summary
