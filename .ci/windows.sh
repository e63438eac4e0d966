#!/usr/bin/env bash
# Windows builds with MinGW-w64: x86_64 built and its whole suite run under
# wine64 (the Win32 backend's own tests included), i686 built and linked only
# (wine32 cannot be installed here).
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
need=(cmake ninja-build googletest g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64)
missing=()
for p in "${need[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SECONDS=0

for arch in x86_64 i686; do
  echo "== Windows $arch: build"
  emulator=()
  [[ $arch == x86_64 ]] && emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$WINE")
  cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPLR_BUILD_BENCH=OFF "${emulator[@]}" >/dev/null
  cmake --build "build-win-$arch" -j2
  for f in zPLR.dll libzPLR.dll.a zPLR.def zlbox.exe tests/zplr_tests.exe; do
    test -s "build-win-$arch/$f" || { echo "missing build-win-$arch/$f"; exit 1; }
  done
  # The DLL exports the class and the host hooks, nothing of the internals,
  # and needs no DLL beyond the system's.
  dump=$("$arch-w64-mingw32-objdump" -p "build-win-$arch/zPLR.dll")
  for sym in _ZN8CZusb_IO15InitialUSB_IOExEi _Z18ZlSetDriverBackendP15ZlDriverBackend; do
    grep -q "$sym" <<<"$dump" || { echo "$arch: $sym not exported"; exit 1; }
  done
  if grep -E '_ZN4zplr[0-9]+(transport|platform|device|line|sound)' <<<"$dump"; then
    echo "$arch: internal names exported"; exit 1
  fi
  for f in zPLR.dll zlbox.exe tests/zplr_tests.exe; do
    if "$arch-w64-mingw32-objdump" -p "build-win-$arch/$f" | grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
      echo "$arch: $f needs the MinGW runtime DLLs"; exit 1
    fi
  done
  echo "   built in ${SECONDS}s so far"
done

echo "== Windows x86_64: wine64 prefix"
export WINEPREFIX="$PWD/build-win-x86_64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY  # no window may wait for a user here
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
"$WINESERVER" -k >/dev/null 2>&1 || true  # a server left from an earlier run
rm -rf "$WINEPREFIX"
# The first start creates the prefix, which takes a while on a cold machine.
timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
echo "   prefix ready at ${SECONDS}s"

echo "== Windows x86_64: suite under wine64"
timeout 600 "$WINE" build-win-x86_64/tests/zplr_tests.exe --gtest_brief=1
echo "== Windows x86_64: the Win32 backend, no box present"
timeout 120 "$WINE" build-win-x86_64/tests/zplr_tests.exe \
  --gtest_filter='WinPlatformTest.NoBoxAfterTheRealSetupApiWalk'
echo "== Windows x86_64: zlbox.exe on the virtual box"
ctest --test-dir build-win-x86_64 --output-on-failure -j2 -E '^zplr_tests$' --timeout 120
echo "Windows passed in ${SECONDS}s"
