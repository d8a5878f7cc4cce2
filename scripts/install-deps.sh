#!/usr/bin/env bash
# Installs, with apt-get and only when missing, every Debian package that the build, the tests,
# the emulated recorder and the benchmarks need. Safe to run again.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev
  qt6-translations-l10n
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils
  fonts-urw-base35
  python3
  libhdf5-dev libsndfile1-dev
  libfftw3-dev libeigen3-dev libopenblas-dev
  libqcustomplot-dev
  python3-numpy python3-tables python3-h5py python3-soundfile python3-venv python3-setuptools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
