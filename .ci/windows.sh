#!/usr/bin/env bash
# Windows builds with MinGW-w64: x86_64 built and its whole suite run under
# wine64 (the Win32 backend's own tests included), i686 built and linked.
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

for arch in x86_64 i686; do
  echo "== Windows $arch: build"
  cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPLR_BUILD_BENCH=OFF >/dev/null
  cmake --build "build-win-$arch" -j2
  for f in zPLR.dll libzPLR.dll.a zlbox.exe tests/zplr_tests.exe; do
    test -s "build-win-$arch/$f" || { echo "missing build-win-$arch/$f"; exit 1; }
  done
done

# The DLL exports the class and the host hooks, nothing of the internals.
exports=$(x86_64-w64-mingw32-objdump -p build-win-x86_64/zPLR.dll)
grep -q '_ZN8CZusb_IO15InitialUSB_IOExEi' <<<"$exports" || { echo "CZusb_IO not exported"; exit 1; }
if grep -E '_ZN4zplr[0-9]+(transport|platform|device|line)' <<<"$exports"; then
  echo "internal names exported"; exit 1
fi

echo "== Windows x86_64: suite under wine64"
export WINEPREFIX="$PWD/build-win-x86_64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
timeout 300 "$WINE" wineboot -i >/dev/null 2>&1 || true
timeout 600 "$WINE" build-win-x86_64/tests/zplr_tests.exe --gtest_brief=1
echo "== Windows x86_64: the Win32 backend, no box present"
timeout 120 "$WINE" build-win-x86_64/tests/zplr_tests.exe --gtest_filter='WinPlatformTest.*'
echo "== Windows x86_64: zlbox.exe on the virtual box"
out=$(timeout 120 "$WINE" build-win-x86_64/zlbox.exe call 5551234 --keys 9#)
echo "$out"
grep -q "caller: 5551234" <<<"$out"
grep -q "keys: 9#" <<<"$out"
timeout 120 "$WINE" wineserver -k >/dev/null 2>&1 || true
echo "Windows passed"
