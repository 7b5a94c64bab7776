#!/bin/bash
# One transform on every platform: on every make-fixtures database and every real
# database of the shared material, the native back end's transform from Linux and
# from each given Windows build (run under Wine) must be the same bytes.
#   same-transform.sh LINUX_MKXFORM SHARED_DIR WINDOWS_MKXFORM.EXE...
# A Windows build this machine cannot run is named and the test ends with 77 (not
# run) after comparing the others; a difference fails it.
set -u
linux=$(realpath "$1") shared=$(realpath "$2"); shift 2
work=$(mktemp -d "${TMPDIR:-/tmp}/mkx-same.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$shared/tools/make-fixtures" "$work/fixtures" >/dev/null || { echo "make-fixtures failed"; exit 2; }
printf 'MYPROP=changed\nnewprop=new value\nLICENSEKEY=ABCD-1234\n' >"$work/props.txt"
databases=("$work"/fixtures/*.msi "$shared"/fixtures/real/*.msi)

failures=0 compared=0 not_run=()
for db in "${databases[@]}"; do
  name=$(basename "$db" .msi)
  (cd "$work" && "$linux" -t "$name.linux.mst" -p props.txt "$db" >/dev/null)
  [ -f "$work/$name.linux.mst" ] || { echo "FAIL: Linux wrote no transform for $name"; failures=$((failures + 1)); }
done
for exe in "$@"; do
  exe=$(realpath "$exe")
  why=$( . "$(dirname "$0")/wine-env.sh"; wine_env "$exe" )
  case $? in
    0) ;;
    77) not_run+=("$exe: $why"); continue ;;
    *) echo "FAIL: $exe: $why"; failures=$((failures + 1)); continue ;;
  esac
  . "$(dirname "$0")/wine-env.sh"
  wine_env "$exe" >/dev/null
  for db in "${databases[@]}"; do
    name=$(basename "$db" .msi)
    (cd "$work" && wine "$exe" -t out.mst -p props.txt "Z:${db//\//\\}" >"$work/run.log" 2>&1)
    run_status=$?
    if [ ! -f "$work/out.mst" ]; then
      echo "FAIL: $name: $exe wrote no transform (exit $run_status); its output ends:"
      tail -n 5 "$work/run.log"
      failures=$((failures + 1))
    elif ! where=$(cmp "$work/out.mst" "$work/$name.linux.mst" 2>&1); then
      echo "FAIL: $name: the transform of $exe differs from Linux's ($where)"
      failures=$((failures + 1))
    fi
    rm -f "$work/out.mst"
    compared=$((compared + 1))
  done
  exec 9>&-  # the prefix lock of this build
done
echo "$compared transforms compared with Linux's (${#databases[@]} databases), $failures failure(s)"
[ "$failures" -eq 0 ] || exit 1
if [ ${#not_run[@]} -gt 0 ]; then
  printf 'not compared: %s\n' "${not_run[@]}"
  exit 77
fi
