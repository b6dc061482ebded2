#!/usr/bin/env bash
# Builds the Debian package from the build directory given ($1), unpacks it
# into a temporary directory and runs each program it holds: --version must
# name the program, and --help must list the exit statuses. The description
# must have an extended part with no line over 80 characters; the copyright
# file, the compressed changelog and the compressed manual pages must be in
# it; lintian, where installed, must find no error. Exits non-zero on any
# failure.
set -euo pipefail
build_dir=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/relamor-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

# cpack writes its staging tree next to the package; keep both out of the build.
cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/relamor_*.deb)
# Outputs are taken whole before grep: grep -q may stop reading early, and
# with pipefail the writer's SIGPIPE would count as a failure.
info=$(dpkg-deb --info "$deb")
grep -q 'Package: relamor' <<<"$info"
grep -q 'Depends:.*libsqlite3' <<<"$info"
description=$(dpkg-deb --field "$deb" Description)
fail() { echo "package test: $*" >&2; exit 1; }
[ "$(wc -l <<<"$description")" -ge 3 ] || fail "no extended description: $description"
awk 'length > 80 { bad = 1 } END { exit bad }' <<<"$description" ||
  fail "a description line is over 80 characters"
dpkg-deb -x "$deb" "$work/root"
doc=$work/root/usr/share/doc/relamor
test -s "$doc/copyright" || fail "no copyright file"
gzip -t "$doc/changelog.gz" || fail "no compressed changelog"
for prog in relamor relamor2035 relamor3035; do
  version=$("$work/root/usr/bin/$prog" --version)
  grep -q "^$prog " <<<"$version"
  help=$("$work/root/usr/bin/$prog" --help)
  grep -q '^  65 ' <<<"$help"
  awk 'length > 80 { bad = 1 } END { exit bad }' <<<"$help" || fail "$prog --help: a line over 80"
  page=$work/root/usr/share/man/man1/$prog.1.gz
  gzip -t "$page" || fail "no compressed manual page $prog.1.gz"
done
# The manual page tells what an operator needs when something goes wrong.
manual=$(gzip -dc "$work/root/usr/share/man/man1/relamor.1.gz")
for section in FILES RECOVERY SIGNALS LOCKING 'SEE ALSO'; do
  grep -q "^\.SH $section" <<<"$manual" || fail "manual page without $section"
done
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian found errors"; }
fi
echo "package ok: $(basename "$deb")"
