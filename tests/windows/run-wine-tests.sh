#!/bin/bash
# Runs a Windows mkxform.exe (i686 or x86-64) under Wine and checks what it prints,
# its exit status and, for the native back end, its transforms (msi-oracle check):
#   run-wine-tests.sh mkxform.exe native|system SHARED_DIR
# The Wine prefix is chosen by wine-env.sh (exit 77 when this machine cannot run the
# program). Wine's msi.dll does not generate transforms: the system back end must
# then report error 120 and end with status 1.
set -u
exe=$(realpath "$1") backend=$2 shared=$(realpath "$3")
oracle=$shared/tools/msi-oracle

. "$(dirname "$0")/wine-env.sh"
wine_env "$exe" || exit $?

work=$(mktemp -d "${TMPDIR:-/tmp}/mkx-wine.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$shared/tools/make-fixtures" "$work/fixtures" >/dev/null || { echo "make-fixtures failed"; exit 2; }
# The Windows temporary directory of the prefix (the working copies go there).
wintemp=$(ls -d "$WINEPREFIX"/drive_c/users/*/Temp | head -n 1)

failures=0 count=0
fail() { echo "FAIL [$case_name]: $*"; failures=$((failures + 1)); }

# run NAME ARGS...: runs the tool in $work; sets $status, $out (line ends as the
# console got them, CR LF) and $text (the same with LF).
run() {
  case_name=$1; shift
  count=$((count + 1))
  # Output to a file: a pipe would stay open while the wineserver lingers. A client
  # that started as the previous run's wineserver was shutting down loses its server
  # before the program starts ("wine client error"): that run is repeated once.
  for _ in 1 2; do
    (cd "$work" && wine "$exe" "$@" >"$work/out.raw" 2>"$work/err.raw")
    status=$?
    grep -q '^wine client error' "$work/err.raw" || break
  done
  out=$(cat "$work/out.raw"; echo x); out=${out%x}
  text=${out//$'\r\n'/$'\n'}
  if [ -s "$work/err.raw" ]; then fail "wrote to standard error: $(head -c 300 "$work/err.raw")"; fi
  # Text-mode standard output: every line feed goes out as CR LF.
  if [ "$(tr -cd '\n' <"$work/out.raw" | wc -c)" -ne "$(grep -c $'\r$' "$work/out.raw")" ]; then
    fail "a line feed without a carriage return before it"
  fi
}
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; output: $text"; }
expect_text() { [ "$text" = "$1" ] || fail "output differs:"$'\n'"--- got"$'\n'"$text"$'\n'"--- expected"$'\n'"$1"; }
expect_line() { grep -qxF -- "$1" <<<"$text" || fail "no line '$1' in: $text"; }
expect_check() {  # BASE TRANSFORM NAME=VALUE...
  local result
  # msi.dll refusing a transform says why; Wine ending with status 1 and nothing said
  # is the lost-wineserver race above, and judged nothing: that check is repeated once.
  for _ in 1 2; do
    result=$("$oracle" check "$@" 2>&1) && return
    [[ $result == *"cannot apply "*": status 1" ]] || break
  done
  fail "msi-oracle check: $result"
}

usage='mkxform -t "c:\output.mst" -p "c:\property.txt" setup.msi'
minimal=$work/fixtures/minimal.msi
printf 'MYPROP=changed\nnewprop=new value\n' >"$work/props.txt"

# ---- Command line and property file (the same for both back ends) ----------------
while IFS='|' read -r name expected_status expected args; do
  eval "set -- $args"
  run "$name" "$@"
  expect_status "$expected_status"
  expected=$(printf '%b' "$expected")
  expect_text "${expected//USAGE/$usage}"$'\n'
done <<'TABLE'
no arguments|255|USAGE|
trailing -p|255|USAGE|a.msi -p
upper-case -P is positional|255|USAGE|-P props.txt
empty database path|255|USAGE|-p props.txt ''
missing property file|255|Error in opening property text file\nUSAGE|-p missing.txt fixtures/minimal.msi
TABLE

cp "$minimal" "$work/same.msi"
run "transform names the database" -t 'same.msi' -p props.txt '.\same.msi'
expect_status 255
expect_line 'Error: the transform path names an input file same.msi'
cmp -s "$minimal" "$work/same.msi" || fail "the database was changed"

# ---- Paths, text mode and console bytes ----------------------------------------
# Non-ASCII directory and file names reach the program as UTF-16 (wmain) and must
# survive every file service; CR LF reads as LF; byte 0x1A ends the property file.
dir=$work/'dir ü日本'
mkdir -p "$dir"
cp "$minimal" "$dir/データ.msi"
printf 'MYPROP=x\r\nB=y\r\n\x1aC=z\n' >"$dir/p ü.txt"
run "non-ASCII paths" -t 'dir ü日本\out 日.mst' -p 'dir ü日本/p ü.txt' 'dir ü日本/データ.msi'
expect_line 'MYPROP=x '
expect_line 'B=y '
grep -q 'C=z' <<<"$text" && fail "read past byte 0x1A"
if [ "$backend" = native ]; then
  expect_status 0
  [ -f "$dir/out 日.mst" ] && expect_check "$dir/データ.msi" "$dir/out 日.mst" MYPROP=x B=y
else
  expect_status 1
  expect_line 'Error in generate MST for the property set, Err#120'
fi

# A missing database: the copy fails (its temporary name is printed), the open fails
# with the path printed by the console rule (ü as byte 0xFC, characters above U+00FF
# as '?'), and the working copy is gone afterwards.
run "missing database, non-ASCII name" -p props.txt 'dir ü日本/無.msi'
expect_status 1
copy_line=$(grep -a '^Error copying the MSI to ' <<<"$text")
temp_name=${copy_line#Error copying the MSI to }
[[ $temp_name == *'\msi'*.tmp ]] || fail "working copy name: '$temp_name'"
[ -e "$wintemp/${temp_name##*\\}" ] && fail "working copy $temp_name left behind"
grep -qa "^Error in opening the MSI dir "$'\xfc'"??/?.msi, Err#" <<<"$text" || fail "open error line: $text"

printf 'not a database\n' >"$work/text.msi"
run "not a database" -p props.txt text.msi
expect_status 1
grep -q '^Error in opening the MSI text.msi, Err#' <<<"$text" || fail "open error line: $text"

# ---- Transform generation ----------------------------------------------------------
run "transform in a missing directory" -t 'no such dir\out.mst' -p props.txt fixtures/minimal.msi
expect_status 1
generation=$(grep -a '^Error in generate MST for the property set, Err#' <<<"$text")
code=${generation##*Err#}
[ -n "$code" ] || fail "no generation error line: $text"
# The tool makes the transform's private file beside the target before calling the
# installer, so a missing folder is its own 1631 with either back end.
[ "$code" != 1631 ] && fail "a missing folder gave $code, not 1631"
# The extended text, when there is one, repeats the code of the line before it.
extended=$(grep -a -A1 '^Error in generate MST' <<<"$text" | tail -n +2)
if [ -n "$extended" ]; then
  [[ $extended == "Err#$code "* ]] || fail "extended line '$extended' does not carry code $code"
fi
[ -z "$extended" ] && fail "no extended error text"
# It names the transform as given, not the private file beside it.
[[ $extended == *'Database: no such dir\out.mst. '* ]] || fail "extended line '$extended' does not name the transform"

# A read-only transform (no write bit: a read-only file to Wine) is refused as access
# denied before anything is made, and keeps its bytes.
printf 'previous' >"$work/ro.mst" && chmod a-w "$work/ro.mst"
run "read-only transform" -t ro.mst -p props.txt fixtures/minimal.msi
expect_status 1
expect_line 'Error in generate MST for the property set, Err#5'
[ "$(cat "$work/ro.mst")" = previous ] || fail "the read-only transform was changed"
rm -f "$work/ro.mst"

if [ "$backend" = native ]; then
  # Every fixture database, the real ones included: the transform applied by Wine
  # must change exactly the named Property rows.
  printf 'MYPROP=changed\nnewprop=new value\n' >"$work/props.txt"
  for db in "$work"/fixtures/*.msi "$shared"/fixtures/real/*.msi; do
    run "end to end $(basename "$db")" -t out.mst -p props.txt "Z:${db//\//\\}"
    expect_status 0
    expect_line 'Successfully updating property NEWPROP as value new value'
    expect_check "$db" "$work/out.mst" MYPROP=changed 'NEWPROP=new value'
    rm -f "$work/out.mst"
  done
  # A Latin-1 byte of the property file is the character of that value, stored in
  # the database's codepage (1252 here).
  printf 'NONASCII=caf\xe9\n' >"$work/latin1.txt"
  run "property byte 0xE9 into a cp1252 database" -t out.mst -p latin1.txt fixtures/cp1252.msi
  expect_status 0
  expect_check "$work/fixtures/cp1252.msi" "$work/out.mst" 'NONASCII=café'
  # A link: the file it leads to is replaced and the link stays (Wine shows a Unix
  # symbolic link as the file it points to).
  printf 'previous' >"$work/real.mst" && ln -s real.mst "$work/link.mst"
  run "transform through a link" -t link.mst -p props.txt fixtures/minimal.msi
  expect_status 0
  [ -L "$work/link.mst" ] || fail "the link was replaced"
  expect_check "$work/fixtures/minimal.msi" "$work/real.mst" MYPROP=changed 'NEWPROP=new value'
  rm -f "$work/real.mst" "$work/link.mst"
  # A folder is not replaced, and the message names it as given.
  mkdir "$work/a folder"
  run "transform path is a folder" -t 'a folder' -p props.txt fixtures/minimal.msi
  expect_status 1
  grep -qa '^Err#[0-9]* Database: a folder\. ' <<<"$text" || fail "the folder is not named as given: $text"
  rmdir "$work/a folder"
  # A device is written through, not replaced: NUL takes the transform and the run
  # succeeds, with no private file left beside it or in the temporary directory.
  run "transform to the NUL device" -t NUL -p props.txt fixtures/minimal.msi
  expect_status 0
  ls -A "$work" "$wintemp" | grep -q '^\.NUL\.' && fail "a private file was left: $(ls -A "$work" "$wintemp")"
else
  run "system back end end to end" -t out.mst -p props.txt fixtures/minimal.msi
  expect_status 1
  expect_line 'Successfully inserting property NEWPROP as value new value'
  expect_line 'Error in generate MST for the property set, Err#120'
  [ -e "$work/out.mst" ] && fail "a transform file was left"
fi

echo "$count runs of $exe ($backend), $failures failure(s)"
[ "$failures" -eq 0 ]
