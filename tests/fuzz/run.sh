#!/usr/bin/env bash
# Builds the libFuzzer targets with Debian's clang (build-fuzz/) and runs each
# for a bounded time, at most two at a time, at the lowest priority:
#   tests/fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60, all five)
# Seeds: tests/fuzz/seeds/<target>/, plus the sample installations' databases
# for damaged_database. Corpora grow in build-fuzz/corpus/<target>/; a
# crashing input lands in build-fuzz/crashes/<target>/. Keep each one, once
# fixed, in tests/fuzz/regressions/<target>/: the test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(command_line dialect type_conversion damaged_database new_schema)

# shellcheck source=scripts/packages.sh
source scripts/packages.sh
relamor_packages=(cmake make clang libclang-rt-dev libsqlite3-dev sqlite3)
install_missing_packages

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DRELAMOR_FUZZ=ON -DRELAMOR_TESTS=OFF >/dev/null
nice -n 19 cmake --build "$build" -j2 >/dev/null

for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target" "$build/crashes/$target"
  cp -n tests/fuzz/seeds/"$target"/* tests/fuzz/regressions/"$target"/* "$build/corpus/$target/" 2>/dev/null || true
done
if [[ " ${targets[*]} " == *" damaged_database "* ]]; then
  for sample in samples/*/; do
    tmp=$(mktemp -d)
    samples/build.sh "$sample" "$tmp" >/dev/null
    for db in "$tmp"/old/*.mdb "$tmp"/new/*.mdb; do
      cp "$db" "$build/corpus/damaged_database/$(basename "$sample")-$(basename "$(dirname "$db")")-$(basename "$db")"
    done
    rm -rf "$tmp"
  done
fi

run_one() {
  local target=$1
  nice -n 19 "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/crashes/$target/" \
    "$build/corpus/$target" >"$build/$target.log" 2>&1
  local status=$?
  local execs
  execs=$(grep -m1 'stat::number_of_executed_units' "$build/$target.log" | awk '{print $2}')
  echo "$target: ${seconds}s, ${execs:-?} execs, exit $status, crashes: $(ls "$build/crashes/$target" | wc -l)"
  return $status
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    run_one "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
done
exit $failed
