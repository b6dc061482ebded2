#!/usr/bin/env bash
# Builds a sample installation from readable SQL with the sqlite3 tool:
#   samples/build.sh SAMPLE_DIR TARGET
# creates TARGET/old/*.mdb and TARGET/new/*.mdb from SAMPLE_DIR/old/*.sql and
# SAMPLE_DIR/new/*.sql, and TARGET/registry with the product key directory.
set -euo pipefail
sample=$1
target=$2
rm -rf "$target"
mkdir -p "$target/old" "$target/new" "$target/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis"
for side in old new; do
  for sql in "$sample/$side"/*.sql; do
    [ -e "$sql" ] || continue
    sqlite3 -bail "$target/$side/$(basename "$sql" .sql).mdb" < "$sql"
  done
done
