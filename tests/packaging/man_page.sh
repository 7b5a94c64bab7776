#!/bin/sh
# The manual page: man-db formats it without a warning, it has the expected sections,
# and it carries the project's version (the page built from docs/mkxform.1.in, plain
# and compressed).
#   man_page.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
command -v man >/dev/null 2>&1 || { echo "man (man-db) is not installed"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

for page in "$build/mkxform.1" "$build/mkxform.1.gz"; do
  if [ ! -f "$page" ]; then
    echo "missing: $page"
    failed=1
    continue
  fi
  # man --warnings passes groff's warnings to standard error.
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$scratch/text" 2>"$scratch/warnings" || {
    echo "man failed on $page"
    failed=1
  }
  if [ -s "$scratch/warnings" ]; then
    echo "warnings for $page:"
    cat "$scratch/warnings"
    failed=1
  fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "PROPERTY FILE" "EXIT STATUS" ENVIRONMENT FILES EXAMPLES COPYRIGHT "SEE ALSO"; do
    grep -qx "$section" "$scratch/text" || { echo "$page: no section $section"; failed=1; }
  done
  # The footer names the version; no placeholder is left over.
  grep -q "mkxform $version" "$scratch/text" || { echo "$page: version $version not shown"; failed=1; }
  if grep -q '@[A-Z_]*@' "$scratch/text"; then
    echo "$page: unsubstituted placeholder"
    failed=1
  fi
done
exit $failed
