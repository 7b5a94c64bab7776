#!/bin/sh
# Cross-builds mkxform.exe for Windows with mingw-w64 (i686 and x86-64, back ends
# native and system, in build-win32-native, build-win32-system, build-win64-native,
# build-win64-system) and runs each build's tests: the import table of every build,
# and for the x86-64 builds the program under Wine (tests/windows/).
#   scripts/test-windows.sh [extra ctest arguments]
set -eu
cd "$(dirname "$0")/.."

packages="cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 msitools wixl gir1.2-libmsi-1.0 python3-gi python3-olefile util-linux"
scripts/install-packages.sh $packages

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
