#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (only the missing ones).
# imagemagick's identify checks the pictures kvt writes; umockdev emulates USB
# sensors for the libusb tests; wine64 runs the Windows build's tests, with
# GoogleTest built from the sources in googletest.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils
          pkg-config libusb-1.0-0-dev imagemagick umockdev libumockdev-dev
          python3-pytest python3-setuptools python3-venv python3-numpy
          wine wine64 googletest)
# The formatting and static-analysis checks of CI.
packages+=(clang-format clang-tidy)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
