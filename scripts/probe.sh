#!/usr/bin/env bash
# What this machine can run, found by trying it rather than guessed from the processor's name.
# Sourced by the test scripts; each probe returns 0 (can) or 1 (cannot) and prints nothing.

# The kernel runs 32-bit x86 programs: a hand-made 96-byte 32-bit ELF executable that only exits
# with status 42 through the 32-bit system call gate. A kernel without 32-bit support refuses to
# start it ("Exec format error"); the exact status rules out any other outcome.
probe_32bit_programs() {
  local dir rc=0
  dir=$(mktemp -d)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' \
    >"$dir/exit42"
  chmod +x "$dir/exit42"
  "$dir/exit42" 2>/dev/null || rc=$?
  rm -rf "$dir"
  [ "$rc" = 42 ]
}

# valgrind can run GNU Octave at all: a bare `octave-cli --eval 1` under memcheck. Some valgrind
# versions stop at start-up on instructions of libraries Octave loads (rdtscp on some processors).
probe_valgrind_octave() {
  command -v valgrind >/dev/null && command -v octave-cli >/dev/null || return 1
  timeout 600 valgrind -q --error-exitcode=0 octave-cli -H --no-gui --no-window-system --quiet --eval 1 \
    >/dev/null 2>&1
}

# The wine prefix both architectures run in (not a probe: it sets WINEDEBUG, WINEPREFIX, WINESERVER,
# wine64 and wine32, and makes the prefix when it has none). The prefix is made after wine32 is
# installed: one made without it has no syswow64 and cannot run 32-bit programs. Programs run through
# wine's own loaders, not the `wine` wrapper, which picks the 32-bit loader whenever it is installed.
# A prefix maps drive Z: to the root of the file system: windows_path gives a file's name there.
setup_wine_prefix() {
  export WINEDEBUG=-all
  export WINEPREFIX=${WINEPREFIX:-$root/build-wine/prefix}
  export WINESERVER=/usr/lib/wine/wineserver64
  wine64=/usr/lib/wine/wine64
  wine32=/usr/lib/wine/wine
  if [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    WINELOADER=$wine64 "$wine64" wineboot --init >/dev/null 2>&1
  fi
}
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
