#!/usr/bin/env bash
# The Windows deliverables, tried under wine: installs what is missing (mingw-w64, wine, the i386
# architecture and wine32), writes the recordings and the Linux build's eegfetch results, cross-builds
# both architectures, checks the PE files with objdump and runs the harness of each architecture:
# the 64-bit one through wine's 64-bit loader, which needs nothing 32-bit from the kernel, and the
# 32-bit one where the kernel runs 32-bit programs (probed; skipped and said so elsewhere). Each
# harness also drives the serial port library through COM5, which the prefix's dosdevices/com5 link
# maps to a pty whose far end (tests/octave/pty_far_end.py, Debian's python3) logs what arrives, and
# reads nothing while the harness holds it (a box that takes no data).
# Judged by the harness's PASS/FAIL lines and its final count, not by wine's exit status (wine can
# exit with 0 after a failure). Ends with one summary line; exits nonzero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/probe.sh
source scripts/packages.sh
build=${BUILD_DIR:-build}
summary=()
status=0
fail() {
  summary+=("$1: FAILED")
  status=1
}

# What cannot be installed now (a package mirror in the middle of a sync, say) leaves the rest to
# run: the PE checks need the cross compilers alone, the 64-bit suite wine64 too, and only the
# 32-bit suite wine32.
[ -n "${EEGMEX_DEPS_DONE:-}" ] || bash scripts/deps-windows.sh
missing=$(missing_packages "${windows_cross_packages[@]}")
if [ -n "$missing" ]; then
  echo "windows: FAILED (not installed: $(echo $missing)$(deps_problem))"
  exit 1
fi

# Linux reference: recordings and results of the Linux build of eegfetch.
data=$root/$build/windows-data
if cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  cmake --build "$build" -j2 --target windows_reference >/dev/null &&
  rm -rf "$data" && mkdir -p "$data" &&
  "$build/windows_reference" "$data" "$build/eegfetch.mexhost.so"; then
  summary+=("linux reference: ok")
else
  fail "linux reference"
fi

if bash scripts/build-windows.sh >/dev/null; then
  summary+=("cross build: ok")
else
  fail "cross build"
fi

deliverables=(build-win32/eegfetch.mexw32 build-win32/trigout.mexw32 build-win32/eegmex_formats.mexw32
  build-win64/eegfetch.mexw64 build-win64/trigout.mexw64 build-win64/eegmex_formats.mexw64)
pe=$(bash tests/windows/check-pe.sh "${deliverables[@]}")
pe_status=$?
echo "$pe"
if [ $pe_status = 0 ]; then summary+=("$(tail -1 <<<"$pe")"); else fail "$(tail -1 <<<"$pe")"; fi

arches=()
if [ -z "$(missing_packages "${wine_packages[@]}")" ]; then
  arches+=(64)
else
  summary+=("wine64: skipped (not installed: $(missing_packages "${wine_packages[@]}" | paste -sd' '))")
fi
if [ -n "$(missing_packages "${wine32_packages[@]}")" ]; then
  summary+=("wine32: skipped (not installed: ${wine32_packages[*]})")
elif probe_32bit_programs; then
  arches+=(32)
else
  summary+=("wine32: skipped (this kernel cannot run 32-bit programs)")
fi
# One wine prefix for both architectures (scripts/probe.sh).
((${#arches[@]} == 0)) || setup_wine_prefix
for bits in "${arches[@]}"; do
  dir=$root/build-win$bits
  log=$dir/harness.log
  if [ ! -f "$dir/windows_harness.exe" ]; then
    fail "wine$bits (no harness)"
    continue
  fi
  loader=$wine64
  [ "$bits" = 32 ] && loader=$wine32
  # COM5 is a pseudo-terminal whose far end logs what arrives, for the serial port library.
  com=$WINEPREFIX/dosdevices/com5
  far=$dir/com5-far-end.txt
  hold=$dir/com5-hold  # while it exists, the far end reads nothing
  rm -f "$com" "$far" "$hold"
  /usr/bin/python3 tests/octave/pty_far_end.py "$com" "$far" 600 "$hold" &
  far_pid=$!
  for _ in $(seq 100); do [ -L "$com" ] && break; sleep 0.05; done
  # Wine's console output ends lines with CR LF.
  (cd "$dir" && EEGMEX_TEST_COM=COM5 EEGMEX_TEST_COM_LOG=$(windows_path "$far") EEGMEX_TEST_COM_HOLD=$(windows_path "$hold") WINELOADER=$loader timeout 600 \
    "$loader" windows_harness.exe "$(windows_path "$data")" "$(windows_path "$dir")") 2>"$dir/harness.stderr" |
    tr -d '\r' >"$log"
  rc=${PIPESTATUS[0]}
  rm -f "$com"  # the far end ends once its link is gone
  wait "$far_pid" 2>/dev/null
  cat "$log"
  passes=$(grep -c '^PASS ' "$log")
  failures=$(grep -c '^FAIL ' "$log")
  final=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
  if [ "$rc" = 0 ] && [ "$failures" = 0 ] && [ "$passes" -gt 0 ] && [ "$final" = "$passes passed, 0 failed" ]; then
    summary+=("wine$bits: $final")
  else
    echo "wine$bits: exit status $rc, $passes PASS and $failures FAIL lines, final line '${final:-missing}'" >&2
    tail -5 "$dir/harness.stderr" >&2
    fail "wine$bits: ${final:-no final line}"
  fi
done
((${#arches[@]} == 0)) || timeout 30 "$WINESERVER" -w 2>/dev/null

result=ok
[ $status = 0 ] || result=FAILED
joined=$(printf '%s; ' "${summary[@]}")
echo "windows: $result (${joined%; })"
exit $status
