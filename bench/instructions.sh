#!/usr/bin/env bash
# Instructions (valgrind's callgrind, every thread) of relamor and of its floor
# for each scenario of an installation that bench/run.py generated and kept:
#   python3 bench/run.py --rows 32767,200000 --sites 50x10000,50x10 \
#     --scenarios general,identical,B,C,D,F,EXCCS,sites --repeat 1 --short-repeat 1 \
#     --floor-only --keep --data real --scratch /tmp/relamor-ir
#   bench/instructions.sh /tmp/relamor-ir build real
# B, C and D are measured on the old installation of at most 32767 rows, the
# others on the larger ones. A count does not move with the machine's load,
# where a time does.
set -euo pipefail
scratch=${1:?scratch folder of bench/run.py --keep}
bin=$(cd "${2:-build}" && pwd)
data=${3:-real}
bench=$(cd "$(dirname "$0")" && pwd)
cd "$scratch"

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}

# One measurement: the floor's script on a copy of `pristine`, relamor on another.
measure() {
  local name=$1 pristine=$2 old=$3 script=$4
  rm -rf ir-relamor ir-floor
  cp -r "$pristine" ir-relamor
  cp -r "$pristine" ir-floor
  local floor relamor
  floor=$(sed "s#@FLOOR@#$scratch/ir-floor#g" "$script" | instructions sqlite3 -bail ir-floor/qorsite.mdb)
  relamor=$(RELAMOR_REGISTRY="$scratch/registry" instructions "$bin/relamor" "$old/,ir-relamor/")
  awk -v n="$name" -v f="$floor" -v r="$relamor" \
    'BEGIN { printf "%-16s floor %6.0fM relamor %6.0fM ratio %.2f\n", n, f / 1e6, r / 1e6, r / f }'
  rm -rf ir-relamor ir-floor
}

for old in old-"$data"-*; do
  rows=${old##*-}
  for scenario in general identical B C D F EXCCS; do
    [ -d "new-$data-$scenario" ] || continue
    case $scenario in B | C | D) [ "$rows" -le 32767 ] || continue ;; *) [ "$rows" -gt 32767 ] || continue ;; esac
    python3 -c "import sys; sys.path.insert(0, '$bench'); import run; print(run.floor_script('$scenario', '$scratch/$old/qorsite.mdb'))" > ir-floor.sql
    measure "$scenario $rows" "new-$data-$scenario" "$old" ir-floor.sql
  done
done
for old in sites-old-"$data"-*; do
  [ -d "$old" ] || continue
  size=${old##*-}
  python3 -c "import sys; sys.path.insert(0, '$bench'); import run; print(run.sites_floor_script('$scratch/$old', '@FLOOR@', ${size%x*}))" > ir-floor.sql
  measure "sites $size" "sites-new-$data-$size" "$old" ir-floor.sql
done
rm -f ir-floor.sql
