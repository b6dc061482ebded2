#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root), builds the three
# converters and the tests with warnings as errors, and runs every test.
# RELAMOR_BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")"

build_dir=${RELAMOR_BUILD_DIR:-build}
packages=(cmake g++ make libsqlite3-dev libgtest-dev sqlite3)

install_missing_packages() {
  local missing=() pkg
  for pkg in "${packages[@]}"; do
    dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: not root, not installing missing packages: ${missing[*]}" >&2
    return 0
  fi
  echo "test.sh: installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing_packages
cmake -S . -B "$build_dir" -DRELAMOR_WERROR=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j2
