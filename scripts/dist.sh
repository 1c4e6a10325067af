#!/usr/bin/env bash
# Release: cross-builds the Windows deliverables (eegfetch and trigout for 32-bit and 64-bit MATLAB,
# and the serial port library for each) into dist/, checks their exports and imports, and writes
# dist/SHA256SUMS.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
# The release needs the cross compilers only, not wine.
bash scripts/deps-windows.sh || [ -z "$(missing_packages "${windows_cross_packages[@]}")" ]
WIN_BUILD_PREFIX=build-dist-win bash scripts/build-windows.sh -DEEGMEX_TESTS=OFF >/dev/null
rm -rf dist
mkdir -p dist
cp build-dist-win32/eegfetch.mexw32 build-dist-win32/trigout.mexw32 build-dist-win32/eegmex_formats.mexw32 \
  build-dist-win32/eegmex_decimate.mexw32 build-dist-win64/eegfetch.mexw64 build-dist-win64/trigout.mexw64 \
  build-dist-win64/eegmex_formats.mexw64 build-dist-win64/eegmex_decimate.mexw64 dist/
# The help files beside the modules, carrying the same version as the package.
cp build-dist-win64/eegfetch.m build-dist-win64/trigout.m build-dist-win64/eegmex_vhdr.m build-dist-win64/eegmex_vmrk.m \
  build-dist-win64/eegmex_events.m build-dist-win64/eegmex_edf.m build-dist-win64/eegmex_simport.m \
  build-dist-win64/eegmex_serialport.m build-dist-win64/eegmex_decimate.m build-dist-win64/eegmex_place_markers.m build-dist-win64/eegmex_set.m dist/
# The serial port library for USB trigger boxes, one per architecture, where eegmex_simport looks.
for bits in 32 64; do
  mkdir -p dist/portlibs-mexw$bits
  cp build-dist-win$bits/portlibs/serialport.dll dist/portlibs-mexw$bits/
done
version=$(cat VERSION)
echo "$version" >dist/VERSION
bash tests/windows/check-pe.sh dist/*.mexw32 dist/*.mexw64 >/dev/null || {
  bash tests/windows/check-pe.sh dist/*.mexw32 dist/*.mexw64 | grep -v '^PASS' >&2
  exit 1
}
(cd dist && sha256sum -- *.mexw32 *.mexw64 *.m portlibs-mexw*/*.dll VERSION >SHA256SUMS)
echo "dist (version $version): $(ls dist | tr '\n' ' ')"
cat dist/SHA256SUMS
