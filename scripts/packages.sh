#!/usr/bin/env bash
# The Debian packages each part needs, and what became of installing them. Sourced by
# scripts/deps.sh, scripts/deps-windows.sh, scripts/test.sh and scripts/test-windows.sh.

# One group a line, by what needs it.
core_packages=(cmake make g++ pkg-config googletest libgtest-dev  # build and C++ tests
  octave liboctave-dev  # GNU Octave modules and their tests
  python3  # the pty far end of the serial port library's tests; the docs checks
  python3-mne  # BrainVision and EDF headers checked against MNE-Python (as /usr/bin/python3)
  gnuplot-nox fonts-freefont-otf ghostscript  # the demo figure: Octave only recommends them
  libxdf-dev)  # XDF files checked against an independent C++ loader
sanitizer_packages=(clang libclang-rt-14-dev)  # fuzzing, sanitizers
memcheck_packages=(valgrind)
windows_cross_packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64)
wine_packages=(wine wine64)
wine32_packages=(wine32:i386)  # 32-bit programs under wine: built for i386 only
# the Python package (pip install --no-build-isolation --no-deps .) and its tests
python_packages=(python3-dev python3-numpy python3-pybind11 pybind11-dev python3-setuptools python3-wheel
  python3-venv python3-pip python3-pytest python3-scipy
  python3-h5py)  # MAT v7.3 (HDF5) EEGLAB datasets in Python, and their tests

# missing_packages PKG...: prints those of them that are not installed, one a line.
missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# deps_problem: why the last scripts/deps*.sh run could not install everything, from its log
# ($EEGMEX_DEPS_LOG), as ", because REASON" (nothing when it holds none). Parentheses and
# semicolons become brackets and commas, so that the test command's last line stays parseable.
deps_problem() {
  [ -n "${EEGMEX_DEPS_LOG:-}" ] && [ -s "$EEGMEX_DEPS_LOG" ] || return 0
  printf ', because %s' "$(sed 's/[.?]*$//' "$EEGMEX_DEPS_LOG" | paste -sd'\n' | sed ':a;N;$!ba;s/\n/, and /g' | tr '();' '[],')"
}
