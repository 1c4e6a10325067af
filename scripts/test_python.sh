#!/usr/bin/env bash
# The Python package's tests: installs the package from this checkout into a virtual environment
# under the build tree (Debian's packages only, no download: --system-site-packages and
# --no-build-isolation), then runs pytest on tests/python. The Octave modules of the build tree
# (scripts/build.sh) are the reference of the shared cases. Exit status: pytest's, except that
# "no tests ran" (pytest's 5) is a failure too.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath -m "${BUILD_DIR:-build}")
venv=$build/python-venv
python=/usr/bin/python3
[ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv" || exit 1
EEGMEX_BUILD_JOBS=${EEGMEX_BUILD_JOBS:-2} "$venv/bin/pip" install --quiet --no-build-isolation --no-deps \
  --disable-pip-version-check --no-index "$root" || { echo "python: the package did not build or install"; exit 1; }
# From outside the checkout, so that the installed package is the one imported.
cd "$build" || exit 1
EEGMEX_BUILD=$build "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python" "$@"
status=$?
if [ "$status" = 5 ]; then
  echo "python: pytest collected no tests"
  exit 1
fi
exit "$status"
