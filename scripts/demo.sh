#!/usr/bin/env bash
# The demo: installs what is missing, builds the modules (not the test suites), and runs the
# Octave demos in demo/ with them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# The demo needs the build's packages only: one that cannot be installed today (a mirror in the
# middle of a sync) for another part does not stop it.
bash scripts/deps.sh || [ -z "$(missing_packages "${core_packages[@]}")" ]
bash scripts/build.sh --modules
build=$(cd "${BUILD_DIR:-build}" && pwd)
for demo in demo/demo_eegfetch.m demo/demo_trigout.m demo/demo_serialbox.m demo/demo_online.m demo/demo_events.m demo/demo_stream.m; do
  [ -f "$demo" ] || continue
  echo "=== $demo"
  octave-cli -H --no-gui --no-window-system --quiet \
    --eval "addpath('$build'); addpath('$(pwd)/demo'); $(basename "$demo" .m);"
done
octave-cli -H --no-gui --no-window-system --quiet --eval "addpath('$build'); addpath('$(pwd)/demo'); demo_figure('$build/demo.png');"
