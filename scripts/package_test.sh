#!/usr/bin/env bash
# Builds the Debian package from the build directory given ($1), unpacks it
# into a temporary directory and runs each program it holds: --version must
# name the program, and --help must list the exit statuses. The manual pages
# must be in it. Exits non-zero on any failure.
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
dpkg-deb -x "$deb" "$work/root"
for prog in relamor relamor2035 relamor3035; do
  version=$("$work/root/usr/bin/$prog" --version)
  grep -q "^$prog " <<<"$version"
  help=$("$work/root/usr/bin/$prog" --help)
  grep -q '^  65 ' <<<"$help"
  test -f "$work/root/usr/share/man/man1/$prog.1"
done
echo "package ok: $(basename "$deb")"
