#!/usr/bin/env bash
# Builds the GNU Octave package eegmex-<version>.tar.gz (sources only; Octave compiles them at
# "pkg install" time) into OUTDIR (default: build/). Prints the path of the tarball.
#
#   bash scripts/package.sh [OUTDIR]
#   octave --eval 'pkg install build/eegmex-0.1.0.tar.gz'
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
outdir=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
version=$(head -n1 "$root/VERSION" | tr -d '[:space:]')
name=eegmex-$version

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkgdir=$stage/$name
mkdir -p "$pkgdir/inst" "$pkgdir/src/host/octave" "$pkgdir/src/eegfetch/core" "$pkgdir/src/eegfetch/decimate" "$pkgdir/src/trigout" "$pkgdir/src/platform" \
  "$pkgdir/src/portlibs" "$pkgdir/src/formats/core"

# Metadata: one version everywhere, from VERSION.
sed -e "s/@EEGMEX_VERSION@/$version/" -e "s/@DATE@/$(date -u +%Y-%m-%d)/" "$root/pkg/DESCRIPTION.in" >"$pkgdir/DESCRIPTION"
cp "$root/pkg/INDEX" "$pkgdir/INDEX"
cp "$root/LICENSE" "$pkgdir/COPYING"
cp "$root/CHANGELOG.md" "$pkgdir/NEWS"

# Help files and the helpers that find and set up the port libraries.
for f in "$root"/m/*.m; do
  sed "s/@EEGMEX_VERSION@/$version/g" "$f" >"$pkgdir/inst/$(basename "$f")"
done

# Sources, as the modules' build in the repository sees them.
cp "$root/pkg/Makefile" "$pkgdir/src/Makefile"
cp "$root/host/mexapi.h" "$root/host/mxelement.h" "$pkgdir/src/host/"
cp "$root/host/octave/native_host.cpp" "$root/host/octave/native_entry.cpp" "$root/host/octave/native_entry.h" \
  "$pkgdir/src/host/octave/"
cp "$root"/eegfetch/*.cpp "$root"/eegfetch/*.h "$pkgdir/src/eegfetch/" 2>/dev/null || true
cp "$root"/eegfetch/core/*.cpp "$root"/eegfetch/core/*.h "$pkgdir/src/eegfetch/core/"
cp "$root"/eegfetch/decimate/*.cpp "$pkgdir/src/eegfetch/decimate/"
cp "$root"/trigout/*.cpp "$root"/trigout/*.h "$pkgdir/src/trigout/"
cp "$root"/formats/*.cpp "$pkgdir/src/formats/"
cp "$root"/formats/core/*.cpp "$root"/formats/core/*.h "$pkgdir/src/formats/core/"
cp "$root"/platform/*.cpp "$root"/platform/*.h "$pkgdir/src/platform/"
cp "$root"/portlibs/simport.cpp "$root"/portlibs/serialport.cpp "$root"/portlibs/serial_device.* \
  "$root"/portlibs/ppdev* "$pkgdir/src/portlibs/"

for need in src/eegfetch src/trigout src/formats src/formats/core src/platform src/portlibs; do
  ls "$pkgdir/$need"/*.cpp >/dev/null 2>&1 || { echo "package: no sources in $need" >&2; exit 1; }
done

tar -C "$stage" --owner=0 --group=0 -czf "$outdir/$name.tar.gz" "$name"
echo "$outdir/$name.tar.gz"
