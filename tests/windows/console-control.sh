#!/bin/bash
# Ctrl-C under Wine: sent (by console_control.exe, on a pseudo-terminal) once mkxform.exe has
# made its working copy, on a 64 MiB database so that the run is still busy. The
# program must end with STATUS_CONTROL_C_EXIT, leave no file in its temporary
# directory and no temporary transform beside -t, and leave the file that was at -t
# before byte-identical. Then standard output: missing (the program started with no
# standard handles) or unwritable (/dev/full).
#   console-control.sh mkxform.exe console_control.exe SHARED_DIR [BACKEND]
# With the system back end the test is skipped: once msi.dll has opened the working
# copy it holds it open, and Windows deletes no file that is open, so a Ctrl-C that
# arrives then leaves the copy behind (the handler runs beside the main thread, which
# goes on using the database).
# Ctrl-Break and closing the console are not tried: Wine 8 refuses to generate a
# Ctrl-Break (error 6) and has no console window to close.
set -u
exe=$(realpath "$1") helper=$(realpath "$2") shared=$(realpath "$3") backend=${4:-native}
if [ "$backend" = system ]; then
  echo "skipped: msi.dll holds the working copy open, and an open file cannot be deleted"
  exit 77
fi
. "$(dirname "$0")/wine-env.sh"
wine_env "$exe" || exit $?

work=$(mktemp -d "${TMPDIR:-/tmp}/mkx-ctrl.XXXXXX")
trap 'rm -rf "$work"' EXIT
LARGE_MIB=64 "$shared/tools/make-fixtures" "$work/fixtures" large >/dev/null || { echo "make-fixtures failed"; exit 2; }
printf 'MYPROP=changed\nNEWPROP=new\n' >"$work/props.txt"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

failures=0
for event in c; do
  temp=$work/temp-$event out=$work/out-$event
  mkdir -p "$temp" "$out"
  printf 'the transform from before\n' >"$out/custom.mst"
  # On a pseudo-terminal (script): Wine sends control events only through a console
  # it drives.
  command=$(printf '%q ' wine "$helper" "$event" "$(winpath "$temp")" "$(winpath "$work/report")" \
    "\"$(winpath "$exe")\" -t \"$(winpath "$out/custom.mst")\" -p \"$(winpath "$work/props.txt")\" \"$(winpath "$work/fixtures/large.msi")\"")
  rm -f "$work/report"
  script -qec "$command" /dev/null </dev/null >"$work/console" 2>&1
  status=$?
  result=$(tr -d '\r' <"$work/report" 2>/dev/null)
  problems=()
  [ "$status" -eq 0 ] || problems+=("helper status $status")
  [ "$result" = "exit status 0xc000013a" ] || problems+=("helper: $result")
  left=$(ls -A "$temp")
  [ -z "$left" ] || problems+=("left in the temporary directory: $left")
  left=$(ls -A "$out")
  [ "$left" = custom.mst ] || problems+=("beside the transform: $left")
  [ "$(cat "$out/custom.mst")" = 'the transform from before' ] || problems+=("the earlier transform was changed")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "ok: $event"
  else
    failures=$((failures + 1))
    for problem in "${problems[@]}"; do echo "FAIL [$event]: $problem"; done
  fi
done

# Standard output: a program started without one (by a program with no console)
# still writes its transform; one that cannot be written (a full disk) fails the run,
# and the file at -t stays as it was.
example=$(realpath "$(dirname "$0")/../../examples/example.msi")
out=$work/out-output
mkdir -p "$out" "$work/temp-output"
printf 'the transform from before\n' >"$out/full.mst"
line="\"$(winpath "$exe")\" -t \"$(winpath "$out/none.mst")\" -p \"$(winpath "$work/props.txt")\""
wine "$helper" none "$(winpath "$work/temp-output")" "$(winpath "$work/report")" "$line \"$(winpath "$example")\""
wine "$exe" -t "$(winpath "$out/full.mst")" -p "$(winpath "$work/props.txt")" "$(winpath "$example")" \
  >/dev/full 2>"$work/stderr"
status=$?
problems=()
result=$(tr -d '\r' <"$work/report" 2>/dev/null)
[ "$result" = "exit status 0x00000000" ] || problems+=("without standard output: $result")
"$shared/tools/msi-oracle" check "$example" "$out/none.mst" MYPROP=changed NEWPROP=new >/dev/null ||
  problems+=("without standard output: the transform does not check")
[ "$status" -eq 1 ] || problems+=("output to a full disk: exit status $status")
grep -q '^Error: standard output could not be written, so the transform was not published, Err#29' \
  "$work/stderr" || problems+=("output to a full disk: $(head -c 300 "$work/stderr")")
[ "$(cat "$out/full.mst")" = 'the transform from before' ] || problems+=("output to a full disk: -t was changed")
[ -z "$(ls -A "$work/temp-output")" ] || problems+=("left in the temporary directory")
for problem in "${problems[@]}"; do echo "FAIL [output]: $problem"; done
[ ${#problems[@]} -eq 0 ] && echo "ok: standard output" || failures=$((failures + 1))
[ "$failures" -eq 0 ]
