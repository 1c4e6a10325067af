#!/usr/bin/env bash
# Builds the Octave package, installs it into a fresh Octave user directory and, in a new
# session as a user would, loads it and calls both modules from there. Every session uses private
# package lists, global and local, and a private install prefix, so no package already installed
# on the machine (an eegmex installed for everyone, say) changes the outcome; nothing is left
# installed.
#   pkg_install.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work/home"
tarball=$(bash "$src/scripts/package.sh" "$work")

# A fresh user: Octave keeps its package list and local packages under HOME.
export HOME=$work/home
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config
cd "$work"
octave=(octave-cli -H --no-gui --no-window-system --quiet)
lists="pkg('local_list', '$work/local_packages'); pkg('global_list', '$work/global_packages');
  pkg('prefix', '$work/packages', '$work/packages');"
"${octave[@]}" --eval "$lists pkg install -local '$tarball'"
version=$(head -n1 "$src/VERSION" | tr -d '[:space:]')
"${octave[@]}" --eval "$lists pkg load eegmex; addpath('$src/tests/packaging'); check_modules('$work/packages', '.oct');
  p = pkg('list', 'eegmex'); assert(strcmp(p{1}.version, '$version'), 'package version %s', p{1}.version);
  assert(~isempty(strfind(evalc('help eegfetch'), 'eegmex $version')), 'help without version $version')"
# Uninstalling leaves nothing of the package behind.
"${octave[@]}" --eval "$lists pkg uninstall -local eegmex; assert(isempty(pkg('list')), 'still listed')"
if find "$HOME" "$work/packages" -name '*.mex' -o -name '*.oct' 2>/dev/null | grep -q .; then
  echo "pkg uninstall left modules behind" >&2
  exit 1
fi
