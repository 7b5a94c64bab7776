#!/bin/sh
# cmake --install into a scratch prefix puts the program, the compressed manual page,
# the README and the example in the GNU directories, and the installed program
# writes a working transform from the installed example.
#   install_tree.sh BUILD_DIR [ORACLE]
set -eu
build=$1
MKX_ORACLE=${2:-}
. "$(dirname "$0")/run_example.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

cmake --install "$build" --prefix "$prefix" >"$scratch/log" 2>&1 || {
  cat "$scratch/log"
  echo "cmake --install failed"
  exit 1
}
failed=0
for file in bin/mkxform share/man/man1/mkxform.1.gz share/doc/mkxform/README.md \
            share/doc/mkxform/examples/example.msi share/doc/mkxform/examples/example.properties \
            share/doc/mkxform/copyright; do
  [ -f "$prefix/$file" ] || { echo "not installed: $file"; failed=1; }
done
[ -x "$prefix/bin/mkxform" ] || { echo "bin/mkxform is not executable"; failed=1; }
[ "$failed" = 0 ] || exit 1
run_example "$prefix/bin/mkxform" "$prefix/share/doc/mkxform/examples" "$scratch/run"
