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
