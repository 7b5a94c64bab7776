#!/bin/sh
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded time on
# a corpus seeded from the fixtures and the saved regression inputs.
#   scripts/fuzz.sh [-t seconds] [-n runs] [-j jobs] [target ...]
# -t: time per target (default 60); -n: stop a target after this many executions
# (default: no limit). Targets default to all five. Prints one line per target with its
# execution count; exits 1 if any target found a crash, leak, hang or oversized
# allocation (the input is saved under build-fuzz/artifacts/).
set -eu
cd "$(dirname "$0")/.."

seconds=60
runs=-1
jobs=$(nproc 2>/dev/null || echo 2)
while getopts t:n:j: opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    n) runs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) echo "usage: $0 [-t seconds] [-n runs] [-j jobs] [target ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=${*:-"compound_reader database_reader sql_parser property_line generate_transform"}

build=${MKX_FUZZ_BUILD:-build-fuzz}
shared=${MKX_SHARED_DIR:-../shared}
CC=clang CXX=clang++ cmake -S . -B "$build" -DMKX_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

# Seeds: every database small enough to mutate quickly, plus the saved regression inputs.
seeds="$build/seeds"
if [ ! -d "$seeds/fixtures" ]; then
  "$shared/tools/make-fixtures" "$seeds/fixtures" >/dev/null
fi
corpus_of() { echo "$build/corpus/$1"; }
for t in $targets; do
  dir=$(corpus_of "$t")
  mkdir -p "$dir"
  case $t in
    compound_reader|database_reader|generate_transform)
      for f in "$seeds"/fixtures/*.msi "$shared"/fixtures/real/*.ms? examples/*.msi; do
        [ -f "$f" ] && [ "$(wc -c <"$f")" -le 65536 ] && cp -f "$f" "$dir/"
      done ;;
    sql_parser)
      i=0
      for q in "SELECT * FROM \`Property\` WHERE \`Property\` = 'ProductCode'" \
               "SELECT Property, Value FROM Property WHERE Value = 'x' AND Property = ?" \
               "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES (?, ?)" \
               "UPDATE \`Property\` SET \`Value\` = ? WHERE \`Property\` = ?" \
               "UPDATE Property SET Value = NULL WHERE Property = 'A' AND Value = -1" \
               "INSERT INTO Property (Property, Value) VALUES ('T', 'v') TEMPORARY" \
               "SELECT * FROM _Columns WHERE Table = 'Property' AND Number = 2"; do
        i=$((i + 1))
        printf '%s' "$q" >"$dir/seed$i"
      done ;;
    property_line)
      cp -f examples/*.properties "$dir/" 2>/dev/null || true
      printf 'ProductName=Demo\r\nlower=Value\n=x\nNOVALUE=\nA=B=C\0tail\n\032ignored' >"$dir/seed-mixed" ;;
  esac
  if [ -d "tests/fuzz_regressions/$t" ]; then cp -f "tests/fuzz_regressions/$t"/* "$dir/" 2>/dev/null || true; fi
done

export MKX_FUZZ_SQL_DATABASE="$seeds/fixtures/minimal.msi"
mkdir -p "$build/artifacts" "$build/logs"
status=0
for t in $targets; do
  log="$build/logs/$t.log"
  if "$build/fuzz/${t}_fuzzer" -max_total_time="$seconds" -runs="$runs" -timeout=10 \
       -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$t-" "$(corpus_of "$t")" >"$log" 2>&1; then
    result=ok
  else
    result="FINDING (see $log)"
    status=1
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "fuzz: $t: ${executions:-0} executions in at most ${seconds}s: $result"
done
exit $status
