#!/bin/sh
# The README's message list and worked example agree with the program:
#  - every message in the list between "<!-- messages -->" and "<!-- /messages -->"
#    is a printed string literal in src/, and every such literal (a u"..." ending in
#    a line feed) is in the list;
#  - the worked example's output block is what the built program prints.
#   readme_messages.sh SOURCE_DIR TOOL
set -eu
src=$1
tool=$2
readme="$src/README.md"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0

# The first code span of each table row of the marked list, as C source text:
# backslashes and quotes escaped, the line feed added.
sed -n '/^<!-- messages -->$/,/^<!-- \/messages -->$/p' "$readme" |
  sed -n 's/^| `\([^`]*\)` |.*/\1/p' |
  sed 's/\\/\\\\/g; s/"/\\"/g; s/$/\\n/' | sort -u >"$scratch/readme"
count=$(wc -l <"$scratch/readme")
if [ "$count" -lt 10 ]; then
  echo "README: the marked message list has only $count entries"
  exit 1
fi

grep -rhoE 'u"([^"\\]|\\.)*\\n"' "$src/src" | sed 's/^u"//; s/"$//' | sort -u >"$scratch/source"

while IFS= read -r message; do
  if ! grep -qxF -- "$message" "$scratch/source"; then
    echo "README lists a message that src/ does not print: ${message%\\n}"
    failed=1
  fi
done <"$scratch/readme"
while IFS= read -r message; do
  if ! grep -qxF -- "$message" "$scratch/readme"; then
    echo "src/ prints a message missing from the README list: ${message%\\n}"
    failed=1
  fi
done <"$scratch/source"

# The worked example: the block between the command and "$ echo $?", unindented.
sed -n '/^ *\$ build\/mkxform -t custom.mst -p examples\/example.properties examples\/example.msi$/,/^ *\$ echo \$?$/p' "$readme" |
  sed '1d; $d; s/^       //' >"$scratch/expected"
if [ ! -s "$scratch/expected" ]; then
  echo "README: the worked example's output block was not found"
  failed=1
else
  mkdir "$scratch/run"
  status=0
  (cd "$scratch/run" && "$tool" -t custom.mst -p "$src/examples/example.properties" "$src/examples/example.msi") \
    >"$scratch/actual" || status=$?
  expected_status=$(sed -n '/^ *\$ echo \$?$/{n;s/^ *//;p;q}' "$readme")
  if ! diff -u "$scratch/expected" "$scratch/actual"; then
    echo "README: the worked example's output differs from the program's (above)"
    failed=1
  fi
  if [ "$status" != "$expected_status" ]; then
    echo "README: the worked example shows exit status $expected_status, the program gave $status"
    failed=1
  fi
fi
exit $failed
