#!/bin/sh
# Cross-builds mkxform.exe for Windows with mingw-w64 (i686 and x86-64, back ends
# native and system, in build-win32-native, build-win32-system, build-win64-native,
# build-win64-system) and runs each build's tests (tests/windows/): the import table,
# the program under Wine, Ctrl-C and the release archive (cpack -G ZIP). Then the
# native transforms of Linux (build/), Win32 and Win64 are compared byte for byte.
#   scripts/test-windows.sh [extra ctest arguments]
set -eu
cd "$(dirname "$0")/.."

packages="cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 msitools wixl gir1.2-libmsi-1.0 python3-gi python3-olefile util-linux bsdutils man-db bsdextrautils"
scripts/install-packages.sh $packages
# 32-bit Wine runs the i686 builds, on a kernel that runs 32-bit programs (i386
# libc's loader is the probe). Where it does not (ia32_emulation off), wine32 is not
# installed: it could not start, and Debian's wine would then choose it and fail
# for 64-bit programs too. The i686 Wine tests then report themselves not run.
scripts/install-packages.sh libc6:i386
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  scripts/install-packages.sh wine32:i386
else
  echo "NOTE: this kernel does not run 32-bit programs: the i686 builds are built and checked, not run"
fi

jobs=$(nproc 2>/dev/null || echo 2)
for build in "win32 i686" "win64 x86_64"; do
  set -- $build
  for backend in native system; do
    dir=build-$1-$backend
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-$2.cmake -DMKX_INSTALLER_BACKEND=$backend
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure "$@"
  done
done

# One transform on every platform (the Linux build of scripts/test.sh, made here
# when it is missing).
[ -x build/mkxform ] || { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build -j "$jobs" --target mkxform; }
status=0
tests/windows/same-transform.sh build/mkxform "${MKX_SHARED_DIR:-../shared}" build-win64-native/mkxform.exe build-win32-native/mkxform.exe || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"
