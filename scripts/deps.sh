#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# Run as root (or with sudo available). Extra package names may be given as arguments.
set -euo pipefail

# One package a line, grouped by what needs it.
packages=(
  # build and C++ tests
  cmake make g++ pkg-config googletest libgtest-dev
  # GNU Octave modules and their tests
  octave liboctave-dev
  # eegfetch
  # trigout: the pty far end of the serial port library's Octave and wine tests
  python3
  # Windows builds under wine
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64
  # reliability (fuzzing, sanitizers)
  clang libclang-rt-14-dev valgrind
  # packaging and the demo figure
  gnuplot-nox fonts-freefont-otf ghostscript  # Octave draws text with this font and writes PNG through gs; it only recommends them
  # BrainVision headers checked against MNE-Python (run as /usr/bin/python3), and its benchmark peer
  python3-mne
  # the Python package (pip install --no-build-isolation .) and its tests
  python3-dev python3-numpy python3-pybind11 pybind11-dev python3-setuptools python3-wheel python3-venv python3-pip
  python3-pytest python3-scipy
  # MAT v7.3 (HDF5) EEGLAB datasets in Python, and their tests
  python3-h5py
  # XDF files checked against an independent C++ loader
  libxdf-dev
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
