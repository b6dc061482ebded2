#!/usr/bin/env bash
# Installs what is missing (Debian packages, as root), builds the three
# converters (not the tests), and converts three sample installations, one after the other: release 3.5
# with relamor, release 2.0 with relamor2035 and release 3.0 with relamor3035
# (samples/, built in ./demo-run with the sqlite3 tool, each with its own
# registry holding the product key). Shows each run log, result value and exit
# status; exits non-zero when any conversion did not succeed.
# RELAMOR_BUILD_DIR chooses the build directory (default: build),
# RELAMOR_DEMO_DIR the sample installation (default: demo-run).
set -euo pipefail
cd "$(dirname "$0")"

build_dir=${RELAMOR_BUILD_DIR:-build}
demo_dir=${RELAMOR_DEMO_DIR:-demo-run}
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

# Builds one sample installation (samples/<sample>) and converts it with one
# program; shows the run log, the result value and the exit status.
convert_sample() {
  local program=$1 sample=$2
  shift 2
  local target="$demo_root/$sample"
  samples/build.sh "samples/$sample" "$target"
  local key_dir="$target/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis"

  echo
  echo "=== $program on samples/$sample"
  echo "== RELAMOR_REGISTRY=$target/registry $build_dir/$program $target/old/,$target/new/"
  local status=0
  RELAMOR_REGISTRY="$target/registry" "$build_dir/$program" "$target/old/,$target/new/" || status=$?
  echo "== Run log ($target/new/RelamorLog.txt)"
  if [ -f "$target/new/RelamorLog.txt" ]; then
    tr -d '\r' < "$target/new/RelamorLog.txt"
  else
    echo "(no run log)"
  fi
  echo "== RelamorResult"
  if [ -f "$key_dir/RelamorResult" ]; then
    cat "$key_dir/RelamorResult"
    echo
  else
    echo "(not written)"
  fi
  local shown db table
  for shown in "$@"; do  # database:table pairs worth a look
    db=${shown%%:*} table=${shown#*:}
    echo "== $table in new $db.mdb"
    sqlite3 -header -column "$target/new/$db.mdb" "SELECT * FROM \"$table\" ORDER BY rowid" || true
  done
  echo "== Exit status: $status"
  return "$status"
}

install_missing_packages
# Only the three programs are built here (the test suite is ./test.sh's), with
# the build's progress shown.
echo "=== Building relamor, relamor2035 and relamor3035 in $build_dir/ (the tests: ./test.sh)"
cmake -S . -B "$build_dir" -DRELAMOR_WERROR=ON
cmake --build "$build_dir" -j"$(nproc)" --target relamor relamor2035 relamor3035

mkdir -p "$demo_dir"
demo_root=$(cd "$demo_dir" && pwd)
overall=0
convert_sample relamor release35 qorsite:Sites qord003:boards qord003:cmdidguid || overall=$?
convert_sample relamor2035 release20 qorsite:Customers qorsite:Sites qorsite:channel \
  qorsite:modemconnection qorsite:prompt || overall=$?
convert_sample relamor3035 release30 qorsite:sites qorsite:channel || overall=$?
echo
echo "=== Demo finished: exit status $overall (0 when all three conversions succeeded)"
exit "$overall"
