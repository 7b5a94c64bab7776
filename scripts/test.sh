#!/bin/sh
# Installs what the tests need when it is missing (Debian packages), builds mkxform
# and runs the whole test suite through ctest.
#   scripts/test.sh [extra ctest arguments]
set -eu
cd "$(dirname "$0")/.."

packages="g++ cmake make libgtest-dev msitools wixl gir1.2-libmsi-1.0 python3-gi python3-olefile wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 strace clang libclang-rt-14-dev man-db dpkg-dev file"
scripts/install-packages.sh $packages

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "$@"
