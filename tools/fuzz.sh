#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ (cmake --preset fuzz) for SECONDS each (default 30),
# starting from the seed corpus in tests/fuzz/corpus/ and the corpus earlier runs grew in
# build-fuzz/corpus/. An input that breaks a property fails the run; it is kept in
# build-fuzz/findings/ and belongs, once fixed, in tests/fuzz/findings/<target>/, where the
# ordinary test build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
failed=0
mkdir -p build-fuzz/findings
for target in srecord ihex ramwrite shiftjis settings; do
  mkdir -p "build-fuzz/corpus/$target"
  log="build-fuzz/findings/$target.log"
  if build-fuzz/bin/fuzz_$target -max_total_time="$seconds" -print_final_stats=0 \
       -artifact_prefix="build-fuzz/findings/$target-" \
       "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -o 'Done [0-9]* runs' "$log" | tail -1 || true), no finding"
  else
    echo "fuzz_$target: FINDING (see $log):" >&2
    grep -E 'property does not hold|ERROR|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    failed=1
  fi
done
exit "$failed"
