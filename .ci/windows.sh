#!/usr/bin/env bash
# Windows builds with MinGW-w64, i686 (the library's home) and x86_64: both
# built, their DLL exports checked, and each suite and the zlbox tests run
# under wine (wine64 for x86_64, wine32 for i686, one prefix).
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/phases.sh

export DEBIAN_FRONTEND=noninteractive
need=(cmake ninja-build googletest g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine wine32:i386
      clang lld llvm python3)
APT_FLAGS=(--no-install-recommends)
phase "Windows packages" install_missing "${need[@]}"
WINE64=/usr/lib/wine/wine64
# ZPLR_WINE32 names another 32-bit loader (the check's own test uses it).
WINE32=${ZPLR_WINE32:-/usr/lib/wine/wine}
WINESERVER=/usr/lib/wine/wineserver64
declare -A WINE=([x86_64]=$WINE64 [i686]=$WINE32)
source .ci/i386.sh
i386_check "$WINE32"
export I386_OK
# Architectures whose programs this machine can run under wine.
RUN_ARCHS=(x86_64)
if ((I386_OK)); then
  RUN_ARCHS=(i686 x86_64)
else
  echo "== i686 suite skipped: this kernel does not execute i386 programs ($I386_WHY)"
fi

# The plain names the DLL exports beside the member names.
mapfile -t plain < <(grep -vE '^[[:space:]]*(#|$)' include/zPLR.exports)

build() {
  local arch=$1 f sym name
  cmake -S . -B "build-win-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPLR_BUILD_BENCH=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR="${WINE[$arch]}" >/dev/null
  cmake --build "build-win-$arch" -j2
  for f in zPLR.dll libzPLR.dll.a zPLR.def zlbox.exe tests/zplr_tests.exe tests/zplr_exit_child.exe \
           zplr_capi_test.exe zplr_testbox.dll; do
    test -s "build-win-$arch/$f" || { echo "missing build-win-$arch/$f"; exit 1; }
  done
  # The DLL exports the class, its plain names and the host hooks, nothing
  # of the internals, and needs no DLL beyond the system's.
  local dump names
  dump=$("$arch-w64-mingw32-objdump" -p "build-win-$arch/zPLR.dll")
  for sym in _ZN8CZusb_IO15InitialUSB_IOExEi _Z18ZlSetDriverBackendP15ZlDriverBackend; do
    grep -q "$sym" <<<"$dump" || { echo "$arch: $sym not exported"; exit 1; }
  done
  names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] //p')
  for name in "${plain[@]}"; do
    grep -qx "$name" <<<"$names" || { echo "$arch: plain name $name not exported"; exit 1; }
  done
  # The C interface under its plain C names: no underscore, no @N (cdecl).
  for name in $(grep -oE 'ZPLR_CALL zplr_[a-z0-9_]+' include/zPLR_c.h | cut -d' ' -f2); do
    grep -qx "$name" <<<"$names" || { echo "$arch: C function $name not exported undecorated"; exit 1; }
  done
  if grep -vE '^(_Z|Zl|zplr_|[?])' <<<"$names" | grep -vxF -f <(printf '%s\n' "${plain[@]}") | grep .; then
    echo "$arch: exported names beyond include/zPLR.exports"; exit 1
  fi
  if grep -E '_ZN4zplr[0-9]+(transport|platform|device|line|sound)' <<<"$dump"; then
    echo "$arch: internal names exported"; exit 1
  fi
  for f in zPLR.dll zlbox.exe tests/zplr_tests.exe; do
    if "$arch-w64-mingw32-objdump" -p "build-win-$arch/$f" | grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
      echo "$arch: $f needs the MinGW runtime DLLs"; exit 1
    fi
  done
  # The install tree: zPLR.dll in bin/, its import library and the .def in lib/.
  local p="build-win-$arch/install"
  rm -rf "$p"
  cmake --install "build-win-$arch" --prefix "$p" >/dev/null
  for f in bin/zPLR.dll bin/zlbox.exe lib/libzPLR.dll.a lib/zPLR.def lib/libzlsim.a; do
    test -s "$p/$f" || { echo "$arch: $f not installed"; exit 1; }
  done
  (cd "$p" && find . ! -type d | sort | sed 's/^/   /')
}
for arch in i686 x86_64; do
  phase "Windows $arch: build and exports" build "$arch"
done

export WINEPREFIX="$PWD/build-win-x86_64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY  # no window may wait for a user here
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
prefix() {
  "$WINESERVER" -k >/dev/null 2>&1 || true  # a server left from an earlier run
  rm -rf "$WINEPREFIX"
  # The first start creates the prefix, which takes a while on a cold machine.
  timeout 300 "$WINE64" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
}
phase "Windows: wine prefix" prefix

suite() {
  local arch=$1
  timeout 600 "${WINE[$arch]}" "build-win-$arch/tests/zplr_tests.exe" --gtest_brief=1
  # The Win32 backend, no box present.
  timeout 120 "${WINE[$arch]}" "build-win-$arch/tests/zplr_tests.exe" \
    --gtest_filter='WinPlatformTest.NoBoxAfterTheRealSetupApiWalk' --gtest_brief=1
  # zlbox.exe on the virtual box.
  ctest --test-dir "build-win-$arch" --output-on-failure -j2 -E '^(zplr_tests|layout_texts)$' --timeout 120
}
for arch in "${RUN_ARCHS[@]}"; do
  phase "Windows $arch: suite and zlbox under wine" suite "$arch"
done

# The Windows client reaches a box served on Linux over TCP with the token:
# status, then a call scripted from the Linux side.
served() {
  local dir port server out rc=0
  dir=$(mktemp -d)
  serve_box_on_tcp "$dir"
  out=$(ZPLR_DRIVER="tcp:127.0.0.1:$port" ZPLR_TOKEN_FILE="Z:${dir//\//\\}\\token" \
        timeout 120 "$WINE64" build-win-x86_64/zlbox.exe status 2>&1) || rc=1
  grep -q "device 0: box reached" <<<"$out" || { echo "$out"; rc=1; }
  ZPLR_DRIVER="tcp:127.0.0.1:$port" ZPLR_TOKEN_FILE="Z:${dir//\//\\}\\token" \
    timeout 120 "$WINE64" build-win-x86_64/zlbox.exe call --wait 60 >"$dir/call.log" 2>&1 &
  local client=$!
  for _ in $(seq 600); do grep -q "waiting for a call" "$dir/call.log" && break; sleep 0.1; done
  ZPLR_DRIVER="tcp:127.0.0.1:$port" build/zlbox line ring 02155501234 >/dev/null
  for _ in $(seq 100); do grep -q "PickUp: 1" "$dir/call.log" && break; sleep 0.1; done
  ZPLR_DRIVER="tcp:127.0.0.1:$port" build/zlbox line keys 42# >/dev/null
  wait "$client" || rc=1
  grep -Pzq "caller: 02155501234\r?\nPickUp: 1\r?\n(.|\r|\n)*keys: 42#" "$dir/call.log" || { cat "$dir/call.log"; rc=1; }
  kill "$server"; wait "$server" || true
  rm -rf "$dir"
  unset ZPLR_TOKEN_FILE
  return $rc
}
phase "Windows x86_64 client, Linux server over TCP" served
phase_summary
# The class as Visual C++ applications use it (its own phases).
bash .ci/msvc.sh
