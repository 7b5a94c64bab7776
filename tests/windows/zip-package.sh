#!/bin/bash
# cpack -G ZIP makes the Windows release archive: one folder holding mkxform.exe,
# README.md, LICENSE (the source's), the manual as text (CR LF, with the version)
# and the example. Unpacked, its program runs under Wine on the example: the native
# back end writes a transform the installer applies as intended (msi-oracle check),
# the system back end sets every property and stops at generation (Err#120 from
# Wine's msi.dll).
#   zip-package.sh BUILD_DIR VERSION native|system SHARED_DIR [CPACK_OUTPUT_DIR]
# CPACK_OUTPUT_DIR, when given, already holds cpack's output for BUILD_DIR (made on
# another machine than the one that runs the program), and cpack is not run.
set -u
build=$(realpath "$1") version=$2 backend=$3 shared=$(realpath "$4")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mkx-zip.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if [ $# -ge 5 ]; then
  cp -r "$5" "$scratch/out"
else
  cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$scratch/out" >"$scratch/log" 2>&1 ||
    { cat "$scratch/log"; echo "cpack failed"; exit 1; }
fi
zip=$(ls "$scratch"/out/mkxform-"$version"-win*.zip 2>/dev/null)
[ -f "$zip" ] || { ls "$scratch/out"; echo "no archive mkxform-$version-win*.zip"; exit 1; }
top=$(basename "$zip" .zip)

failed=0
listing=$(cd "$scratch/out" && python3 -m zipfile -l "$zip" | awk 'NR > 1 && $1 !~ /\/$/ { print $1 }' | sort)
expected=$(printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/examples/example.msi" \
  "$top/examples/example.properties" "$top/mkxform.exe" "$top/mkxform.txt" | sort)
[ "$listing" = "$expected" ] || { echo "archive holds:"$'\n'"$listing"$'\n'"expected:"$'\n'"$expected"; failed=1; }
python3 -m zipfile -e "$zip" "$scratch/root"
dir=$scratch/root/$top
cmp -s "$dir/LICENSE" "$source_dir/LICENSE" || { echo "LICENSE differs from the source's"; failed=1; }
cmp -s "$dir/README.md" "$source_dir/README.md" || { echo "README.md differs from the source's"; failed=1; }
manual=$(tr -d '\r' <"$dir/mkxform.txt")
grep -q "mkxform $version" <<<"$manual" || { echo "mkxform.txt does not show version $version"; failed=1; }
grep -qx 'COPYRIGHT' <<<"$manual" || { echo "mkxform.txt has no COPYRIGHT section"; failed=1; }
[ "$(tr -cd '\n' <"$dir/mkxform.txt" | wc -c)" -eq "$(grep -c $'\r$' "$dir/mkxform.txt")" ] ||
  { echo "mkxform.txt has lines without CR LF"; failed=1; }
grep -q $'\b' "$dir/mkxform.txt" && { echo "mkxform.txt holds backspaces (overstrike)"; failed=1; }
[ "$failed" = 0 ] || exit 1

. "$(dirname "$0")/wine-env.sh"
wine_env "$dir/mkxform.exe" || exit $?
cd "$dir/examples"
wine ../mkxform.exe -t custom.mst -p example.properties example.msi >"$scratch/output" 2>&1
status=$?
output=$(tr -d '\r' <"$scratch/output")
for name in SERVERNAME INSTALLDIR LICENSEKEY NEWSETTING; do
  grep -q "^Successfully updating property $name as value " <<<"$output" || { echo "no update line for $name"; failed=1; }
done
if [ "$backend" = native ]; then
  [ "$status" = 0 ] || { echo "exit status $status"; failed=1; }
  "$shared/tools/msi-oracle" check example.msi custom.mst \
    SERVERNAME=db.example.com 'INSTALLDIR=C:\Apps\Example' LICENSEKEY=ABCD-1234 NEWSETTING=enabled || failed=1
else
  [ "$status" = 1 ] || { echo "exit status $status, expected 1"; failed=1; }
  grep -qx 'Error in generate MST for the property set, Err#120' <<<"$output" || { echo "no Err#120 line"; failed=1; }
fi
[ "$failed" = 0 ] || { echo "output:"; echo "$output"; exit 1; }
echo "ok: $(basename "$zip") unpacked and run ($backend)"
