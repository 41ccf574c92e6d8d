#!/usr/bin/env bash
# Installs the Debian packages a make target needs, and only those that are missing.
# Usage: scripts/install-deps.sh run|test|package
set -euo pipefail

run_packages=(
  cmake make g++ pkg-config
  qt6-base-dev libqcustomplot-dev libhidapi-dev libudev-dev
  fonts-liberation2 libgl-dev
)
test_packages=(
  "${run_packages[@]}"
  libgtest-dev libbenchmark-dev
  libfuse3-dev fuse3
  clang libclang-rt-14-dev
  xvfb xauth x11-apps imagemagick
  desktop-file-utils dpkg-dev file locales
)
package_packages=("${run_packages[@]}" dpkg-dev file)

case "${1:-}" in
  run) wanted=("${run_packages[@]}") ;;
  test) wanted=("${test_packages[@]}") ;;
  package) wanted=("${package_packages[@]}") ;;
  *) echo "usage: $0 run|test|package" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
