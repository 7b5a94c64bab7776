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
# installed here: it could not start, and Debian's wine would then choose it and
# fail for 64-bit programs too. The i686 builds' Wine tests then run in an emulated
# machine whose kernel does (scripts/vm-i686.sh), after the rest.
scripts/install-packages.sh libc6:i386
in_vm=""
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  scripts/install-packages.sh wine32:i386
else
  echo "NOTE: this kernel does not run 32-bit programs: the i686 builds run under Wine in an emulated machine"
  in_vm=yes
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
shared=$(cd "${MKX_SHARED_DIR:-../shared}" && pwd)
status=0
tests/windows/same-transform.sh build/mkxform "$shared" build-win64-native/mkxform.exe build-win32-native/mkxform.exe || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"

if [ -n "$in_vm" ]; then
  # The release archives are made here (cpack would rebuild in the machine); there,
  # a test that cannot run fails instead of being skipped.
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win32-native/CMakeCache.txt)
  zips=""
  for backend in native system; do
    rm -rf "build-win32-$backend/zip-out"
    cpack --config "build-win32-$backend/CPackConfig.cmake" -G ZIP -B "build-win32-$backend/zip-out" \
      >"build-win32-$backend/cpack.log" 2>&1 || { cat "build-win32-$backend/cpack.log"; exit 1; }
    zips="$zips
      tests/windows/zip-package.sh build-win32-$backend $version $backend '$shared' build-win32-$backend/zip-out &&"
  done
  MKX_VM_MOUNTS="$(pwd) $shared" scripts/vm-i686.sh build-vm "export MKX_WINE_REQUIRED=1
    ctest --test-dir build-win32-native -R 'windows_(wine|console_control)' --output-on-failure &&
    ctest --test-dir build-win32-system -R 'windows_wine' --output-on-failure && $zips
    tests/windows/same-transform.sh build/mkxform '$shared' build-win32-native/mkxform.exe"
fi
