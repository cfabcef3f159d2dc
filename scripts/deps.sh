#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev srecord libusb-1.0-0-dev clang libclang-rt-14-dev clang-format
          qt6-base-dev xvfb xauth fonts-dejavu-core xdotool
          python3 python3-pytest
          gcc-arm-none-eabi binutils-arm-none-eabi
          dpkg-dev file lintian
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
fi
