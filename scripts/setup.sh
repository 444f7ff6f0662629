#!/usr/bin/env bash
# Shared set-up for ./run and ./test: installs the Debian packages listed in
# packages.txt that are missing, then configures and builds one build folder.
#
#   scripts/setup.sh install                 install missing packages only
#   scripts/setup.sh build DIR TYPE [ARGS]   configure (once) and build DIR
#
# Idempotent and quick when everything is already there.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

install_packages() {
  local wanted missing=()
  mapfile -t wanted < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$root/packages.txt")
  for p in "${wanted[@]}"; do
    p=$(echo "$p" | xargs)
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine knows no package until the lists have been fetched once.
  if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

build_dir() {
  local dir=$1 type=$2
  shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@"
  fi
  cmake --build "$dir" --parallel "$(nproc)"
}

case "${1:-}" in
  install) install_packages ;;
  build) shift; install_packages; build_dir "$@" ;;
  *) echo "usage: $0 install | build DIR TYPE [CMAKE ARGS]" >&2; exit 2 ;;
esac
