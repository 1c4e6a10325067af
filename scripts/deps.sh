#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# Run as root (or with sudo available). Extra package names may be given as arguments.
# A package index that cannot be fetched (a mirror in the middle of a sync: "File has unexpected
# size ... Mirror sync in progress?") is fetched again, up to 3 times 30 s apart; then what can be
# installed is installed, one package at a time if the whole set cannot be. Exits 0 when every
# package is installed, otherwise 1 after naming the missing ones; the reasons are appended to
# $EEGMEX_DEPS_LOG when it is set (scripts/test.sh reports them).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

packages=("${core_packages[@]}" "${sanitizer_packages[@]}" "${memcheck_packages[@]}"
  "${windows_cross_packages[@]}" "${wine_packages[@]}" "${python_packages[@]}" "$@")
mapfile -t missing < <(missing_packages "${packages[@]}")
((${#missing[@]})) || exit 0

sudo=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "deps: need root to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
note() { [ -z "${EEGMEX_DEPS_LOG:-}" ] || { mkdir -p "$(dirname "$EEGMEX_DEPS_LOG")"; echo "$*" >>"$EEGMEX_DEPS_LOG"; }; }
# first_error TEXT: apt-get's first error line, without the mirror's address, at most 200 characters.
first_error() { grep -m1 '^E:' <<<"$1" | sed 's/ *\[IP: [^]]*\]//' | cut -c1-200; }

# apt_update: the package index, fetched again while any part of it fails (up to 3 tries).
apt_update() {
  local try out
  for try in 1 2 3; do
    out=$($sudo apt-get update -qq 2>&1) && return 0
    echo "deps: apt-get update failed (try $try of 3): $(grep -m1 '^E:' <<<"$out")" >&2
    ((try == 3)) || sleep "${EEGMEX_APT_PAUSE:-30}"
  done
  note "the package index could not be fetched: $(first_error "$out")"
  return 1
}

# apt_install PKG...: the set at once, else each alone; the ones that fail are noted.
apt_install() {
  local p out
  out=$($sudo apt-get install -y -qq --no-install-recommends "$@" 2>&1 >/dev/null) && return 0
  ((${#@} > 1)) || { note "apt-get install $1: $(first_error "$out")"; return 1; }
  for p in "$@"; do apt_install "$p"; done
  return 1
}

echo "deps: installing ${missing[*]}"
apt_update
apt_install "${missing[@]}"
mapfile -t still < <(missing_packages "${missing[@]}")
((${#still[@]} == 0)) && exit 0
echo "deps: could not install: ${still[*]}" >&2
exit 1
