# Sourced by test.sh and demo.sh: installs the Debian packages the build and
# the samples need, when they are missing (as root; otherwise it only says
# what is missing).
relamor_packages=(cmake g++ make pkg-config libsqlite3-dev libgtest-dev nlohmann-json3-dev sqlite3 mdbtools mdbtools-dev libmdb3)

install_missing_packages() {
  local missing=() pkg
  for pkg in "${relamor_packages[@]}"; do
    dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): not root, not installing missing packages: ${missing[*]}" >&2
    return 0
  fi
  echo "$(basename "$0"): installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
