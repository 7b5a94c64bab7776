#!/bin/sh
# cpack -G DEB builds a package with the project's name, version, maintainer,
# description and library dependencies (dpkg-shlibdeps); unpacked into a scratch
# root with dpkg -x, its program writes a working transform from its example and
# its manual page shows the version.
#   deb_package.sh BUILD_DIR VERSION [ORACLE]
set -eu
build=$1
version=$2
MKX_ORACLE=${3:-}
MKX_SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; exit 77; }
done
. "$(dirname "$0")/run_example.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/log" 2>&1 || {
  cat "$scratch/log"
  echo "cpack failed"
  exit 1
}
arch=$(dpkg --print-architecture)
deb="$scratch/out/mkxform_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$scratch/out"; echo "no package named $(basename "$deb")"; exit 1; }

failed=0
field() { dpkg-deb -f "$deb" "$1"; }
expect_field() {
  if [ "$(field "$1")" != "$2" ]; then
    echo "$1: '$(field "$1")', expected '$2'"
    failed=1
  fi
}
expect_field Package mkxform
expect_field Version "$version"
expect_field Architecture "$arch"
expect_field Section utils
# "Name <address>"
field Maintainer | grep -qE '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' || { echo "Maintainer: '$(field Maintainer)'"; failed=1; }
# A summary line and an extended description, every line of it 80 columns at most.
description=$(field Description)
[ "$(printf '%s\n' "$description" | wc -l)" -ge 3 ] || { echo "Description has no extended part"; failed=1; }
printf '%s\n' "$description" | grep -q 'Windows Installer' || { echo "Description: $description"; failed=1; }
if printf '%s\n' "$description" | awk 'length > 80 { bad = 1 } END { exit !bad }'; then
  echo "Description has lines over 80 columns"
  failed=1
fi

root="$scratch/root"
dpkg -x "$deb" "$root"
for file in usr/bin/mkxform usr/share/man/man1/mkxform.1.gz usr/share/doc/mkxform/README.md \
            usr/share/doc/mkxform/examples/example.msi usr/share/doc/mkxform/examples/example.properties \
            usr/share/doc/mkxform/copyright; do
  [ -f "$root/$file" ] || { echo "not in the package: /$file"; failed=1; }
done
# The copyright file in Debian's machine-readable format: the header, one Files
# paragraph under the Expat (MIT) licence, and the licence text of LICENSE.
copyright=$root/usr/share/doc/mkxform/copyright
if [ -f "$copyright" ]; then
  head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    { echo "copyright: no Format line"; failed=1; }
  for line in 'Files: \*' 'Copyright: [0-9]\{4\} the mkxform authors' 'License: Expat'; do
    grep -qx "$line" "$copyright" || { echo "copyright: no line '$line'"; failed=1; }
  done
  sed -n '/^License: Expat$/,$p' "$copyright" | sed '1d; s/^ //; s/^\.$//' >"$scratch/license"
  cmp -s "$scratch/license" "$MKX_SOURCE_DIR/LICENSE" || { echo "copyright: the licence text differs from LICENSE"; failed=1; }
fi
# Computed by dpkg-shlibdeps: every shared library the program needs is provided by
# a package named in Depends, with a minimum version.
depends=$(field Depends)
printf '%s\n' "$depends" | tr ',' '\n' | sed 's/^ *//' >"$scratch/depends"
if grep -qv ' (>= [^)]*)$' "$scratch/depends"; then
  echo "Depends has unversioned entries: '$depends'"
  failed=1
fi
sed 's/ .*//' "$scratch/depends" >"$scratch/depends.names"
needed=$(objdump -p "$root/usr/bin/mkxform" | awk '$1 == "NEEDED" { print $2 }')
[ -n "$needed" ] || { echo "the packaged program names no shared library"; failed=1; }
for library in $needed; do
  # "pkg[:arch][, pkg...]: /path/library" lines for files named exactly so.
  owners=$(dpkg -S "*/$library" 2>/dev/null | awk -v lib="$library" -F': ' '
    { n = split($NF, parts, "/"); if (parts[n] != lib) next
      m = split($1, pkgs, ", "); for (k = 1; k <= m; k++) { sub(/:.*/, "", pkgs[k]); print pkgs[k] } }' | sort -u)
  found=0
  for owner in $owners; do
    grep -qxF "$owner" "$scratch/depends.names" && found=1
  done
  [ "$found" = 1 ] || { echo "Depends ('$depends') names no package providing $library (from: $owners)"; failed=1; }
done
# Nothing outside /usr (no test programs, no build tree paths).
unexpected=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '^\./usr/' | grep -vx '\./' || true)
[ -z "$unexpected" ] || { echo "unexpected paths in the package: $unexpected"; failed=1; }
if command -v man >/dev/null 2>&1; then
  MANWIDTH=80 man -l "$root/usr/share/man/man1/mkxform.1.gz" 2>/dev/null | grep -q "mkxform $version" ||
    { echo "the packaged manual page does not show version $version"; failed=1; }
fi
[ "$failed" = 0 ] || exit 1
run_example "$root/usr/bin/mkxform" "$root/usr/share/doc/mkxform/examples" "$scratch/run"
