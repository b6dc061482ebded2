#!/usr/bin/env bash
# Installs what is missing (Debian packages, as root), builds the converters,
# creates a small sample installation in ./demo-run (old and new databases and
# a registry holding the product key), converts it with build/relamor, and
# shows the run log, the result value and the exit status. Exits with the
# converter's status.
# RELAMOR_BUILD_DIR chooses the build directory (default: build),
# RELAMOR_DEMO_DIR the sample installation (default: demo-run).
set -euo pipefail
cd "$(dirname "$0")"

build_dir=${RELAMOR_BUILD_DIR:-build}
demo_dir=${RELAMOR_DEMO_DIR:-demo-run}
packages=(cmake g++ make libsqlite3-dev libgtest-dev sqlite3)

install_missing_packages() {
  local missing=() pkg
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: not root, not installing missing packages: ${missing[*]}" >&2
    return 0
  fi
  echo "demo.sh: installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# A minimal release 3.0 installation converted to release 3.5: one main
# database with a customers table and no sites.
build_inline_sample() {
  local target=$1
  rm -rf "$target"
  mkdir -p "$target/old" "$target/new" \
    "$target/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis"
  sqlite3 -bail "$target/old/qorsite.mdb" <<'SQL'
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
CREATE TABLE sites (siteID LONG, customerID LONG, Name TEXT(50));
CREATE TABLE customers (id LONG, Name TEXT(50));
INSERT INTO customers VALUES (1, 'Harbour Works');
INSERT INTO customers VALUES (2, 'North Depot');
SQL
  sqlite3 -bail "$target/new/qorsite.mdb" <<'SQL'
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);
CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
INSERT INTO export VALUES (1, 'customers', 'id', 'customers', 'customerID', 0, 1);
INSERT INTO export VALUES (1, 'customers', 'Name', 'customers', 'Name', 0, 1);
CREATE TABLE customers (customerID LONG PRIMARY KEY, Name TEXT(50));
SQL
  cp "$target/new/qorsite.mdb" "$target/new/qordxxx.mdb"
}

# The sample installation: the one under samples/ when the repository has it,
# otherwise the inline one above.
build_sample() {
  local target=$1
  if [ -x samples/build.sh ] && [ -d samples/release35 ]; then
    samples/build.sh samples/release35 "$target"
  else
    build_inline_sample "$target"
  fi
}

install_missing_packages
cmake -S . -B "$build_dir" -DRELAMOR_WERROR=ON >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

build_sample "$demo_dir"
demo_abs=$(cd "$demo_dir" && pwd)
key_dir="$demo_abs/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis"

echo "== RELAMOR_REGISTRY=$demo_abs/registry $build_dir/relamor $demo_abs/old/,$demo_abs/new/"
status=0
RELAMOR_REGISTRY="$demo_abs/registry" "$build_dir/relamor" "$demo_abs/old/,$demo_abs/new/" || status=$?

echo "== Run log ($demo_abs/new/RelamorLog.txt)"
if [ -f "$demo_abs/new/RelamorLog.txt" ]; then
  tr -d '\r' < "$demo_abs/new/RelamorLog.txt"
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
echo "== Exit status: $status"
exit "$status"
