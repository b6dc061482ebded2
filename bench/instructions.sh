#!/usr/bin/env bash
# Instructions (valgrind's callgrind, every thread) of relamor and of its floor
# for each scenario of an installation that bench/run.py generated and kept:
#   python3 bench/run.py --rows 32767,200000 --sites 50x10000,50x10 \
#     --scenarios general,identical,B,C,D,F,EXCCS,sites --repeat 1 --short-repeat 1 \
#     --floor-only --keep --data real --scratch /tmp/relamor-ir
#   bench/instructions.sh /tmp/relamor-ir build real [bench/README.md]
# B, C and D are measured on the old installation of at most 32767 rows, the
# others on the larger ones; identical also against SQLite's record copy
# (INSERT INTO t SELECT * FROM old.t). A count does not move with the
# machine's load, where a time does. With a fourth argument the table is also
# written as Markdown into that file (between its markers for this script).
# The copies keep the files' times (cp -a), as the benchmark's copies do. A
# run checksums the new databases it changed at its end when they were
# written within the last 50 ms, which under valgrind's slower clock
# sometimes falls out (about 0.1 instructions per byte of the database).
set -euo pipefail
scratch=${1:?scratch folder of bench/run.py --keep}
bin=$(cd "${2:-build}" && pwd)
data=${3:-real}
readme=${4:+$(cd "$(dirname "$4")" && pwd)/$(basename "$4")}
bench=$(cd "$(dirname "$0")" && pwd)
commit=$(git -C "$bench" rev-parse --short HEAD 2>/dev/null || echo unknown)
cd "$scratch"
table=$scratch/ir-table.md
: > "$table"

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}

# The floor's script on a copy of `pristine`.
floor_of() {
  local pristine=$1 script=$2
  rm -rf ir-floor
  cp -a "$pristine" ir-floor
  sed "s#@FLOOR@#$scratch/ir-floor#g" "$script" | instructions sqlite3 -bail ir-floor/qorsite.mdb
  rm -rf ir-floor
}

# One measurement: the floor's script on a copy of `pristine`, relamor on another.
measure() {
  local name=$1 pristine=$2 old=$3 script=$4 second=${5:-}
  rm -rf ir-relamor
  cp -a "$pristine" ir-relamor
  local floor relamor copy=""
  floor=$(floor_of "$pristine" "$script")
  [ -z "$second" ] || copy=$(floor_of "$pristine" "$second")
  relamor=$(RELAMOR_REGISTRY="$scratch/registry" instructions "$bin/relamor" "$old/,ir-relamor/")
  awk -v n="$name" -v f="$floor" -v r="$relamor" -v c="$copy" -v t="$table" 'BEGIN {
    printf "%-16s floor %6.0fM relamor %6.0fM ratio %.2f", n, f / 1e6, r / 1e6, r / f
    if (c != "") printf "  record copy %6.0fM ratio %.2f", c / 1e6, r / c
    printf "\n"
    split(n, w, " ")
    met = (r / f <= 1.5) ? "met" : "not met"
    printf "| %s | %s | %.0fM | %.0fM | %.2f | %s |\n", w[1], w[2], f / 1e6, r / 1e6, r / f, met >> t
    if (c != "")
      printf "| %s, record copy floor | %s | %.0fM | %.0fM | %.2f | |\n", w[1], w[2], c / 1e6,
        r / 1e6, r / c >> t
  }'
  rm -rf ir-relamor
}

for old in old-"$data"-*; do
  rows=${old##*-}
  for scenario in general identical B C D F EXCCS; do
    [ -d "new-$data-$scenario" ] || continue
    case $scenario in B | C | D) [ "$rows" -le 32767 ] || continue ;; *) [ "$rows" -gt 32767 ] || continue ;; esac
    python3 -c "import sys; sys.path.insert(0, '$bench'); import run; print(run.floor_script('$scenario', '$scratch/$old/qorsite.mdb'))" > ir-floor.sql
    second=""
    if [ "$scenario" = identical ]; then
      python3 -c "import sys; sys.path.insert(0, '$bench'); import run; print(run.record_copy_script('$scratch/$old/qorsite.mdb'))" > ir-copy.sql
      second=ir-copy.sql
    fi
    measure "$scenario $rows" "new-$data-$scenario" "$old" ir-floor.sql $second
  done
done
for old in sites-old-"$data"-*; do
  [ -d "$old" ] || continue
  size=${old##*-}
  python3 -c "import sys; sys.path.insert(0, '$bench'); import run; print(run.sites_floor_script('$scratch/$old', '@FLOOR@', ${size%x*}))" > ir-floor.sql
  measure "sites-$size $((${size%x*} * ${size#*x}))" "sites-new-$data-$size" "$old" ir-floor.sql
done
rm -f ir-floor.sql ir-copy.sql

if [ -n "$readme" ]; then
  {
    echo "Made by \`bench/instructions.sh $scratch ${2:-build} $data $4\` on the installations of"
    echo "the \`bench/run.py ... --floor-only --keep\` line in the script's head, from the build of"
    echo "commit $commit; instructions of every thread (valgrind's callgrind), $data data. The"
    echo "goal column: relamor's count at most 1.5 times the floor's (its CPU time where no"
    echo "thread waits)."
    echo
    echo "| scenario | rows | floor | relamor | relamor / floor | CPU goal 1.5 |"
    echo "|---|---:|---:|---:|---:|---|"
    cat "$table"
  } > "$table.full"
  python3 -c "import sys; sys.path.insert(0, '$bench'); import run; run.replace_readme_section('$readme', 'bench/instructions.sh', open('$table.full').read())"
  rm -f "$table.full"
fi
rm -f "$table"
