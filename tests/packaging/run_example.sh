# Sourced by the installation tests: run_example BIN EXAMPLES_DIR WORK_DIR runs an
# installed mkxform on the installed example and checks the transform it writes:
# exit status 0, one update line per property, a compound file, and, when Wine and
# the shared oracle are at hand, that the installer applies it to exactly the
# expected Property rows. Prints what is wrong and returns 1 on a fault.
run_example() {
  _bin=$1
  _examples=$2
  _work=$3
  mkdir -p "$_work"
  cp "$_examples/example.msi" "$_examples/example.properties" "$_work/"
  _status=0
  (cd "$_work" && "$_bin" -t custom.mst -p example.properties example.msi) >"$_work/output" || _status=$?
  if [ "$_status" != 0 ]; then
    echo "$_bin exited with $_status on the example:"
    cat "$_work/output"
    return 1
  fi
  for _name in SERVERNAME INSTALLDIR LICENSEKEY NEWSETTING; do
    if ! grep -q "^Successfully updating property $_name as value " "$_work/output"; then
      echo "no update line for $_name:"
      cat "$_work/output"
      return 1
    fi
  done
  # A compound file begins with D0 CF 11 E0 A1 B1 1A E1.
  if [ "$(od -An -tx1 -N8 "$_work/custom.mst" 2>/dev/null | tr -d ' \n')" != d0cf11e0a1b11ae1 ]; then
    echo "custom.mst is missing or not a compound file"
    return 1
  fi
  if ! cmp -s "$_examples/example.msi" "$_work/example.msi"; then
    echo "the database was modified"
    return 1
  fi
  if [ -n "${MKX_ORACLE:-}" ] && [ -x "$MKX_ORACLE" ] && [ -x /usr/bin/wine ]; then
    if ! "$MKX_ORACLE" check "$_work/example.msi" "$_work/custom.mst" \
        SERVERNAME=db.example.com 'INSTALLDIR=C:\Apps\Example' LICENSEKEY=ABCD-1234 NEWSETTING=enabled; then
      echo "the installer does not apply custom.mst as expected"
      return 1
    fi
  fi
  return 0
}
