#!/usr/bin/env bash
# Installs what the build needs (Debian packages, as root), builds the three
# converters and the tests with warnings as errors, and runs every test.
# RELAMOR_BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")"

build_dir=${RELAMOR_BUILD_DIR:-build}
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

install_missing_packages
cmake -S . -B "$build_dir" -DRELAMOR_WERROR=ON -DRELAMOR_TESTS=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j2
