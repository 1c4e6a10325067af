#!/usr/bin/env bash
# Benchmark of the recording readers (a command, not a test). Writes its own files (bench/live.py), then
# prints in one run each figure beside its goal and its peer or floor; medians of warm-cache calls after
# untimed ones, native Octave modules:
#  1. eegmex_vmrk on 10,000 BrainVision markers      vs mne.read_annotations(vmrk)      goal <= 0.5 x MNE
#  2. [HDR, events] = eegmex_edf on an EDF+C file of
#     60,000 annotations                              vs mne.read_annotations(edf)       goal <= 0.5 x MNE
#  3. a 30-minute BDF, 72 data channels + Status at 2048 Hz in records of 256 samples (1/8 s), 1,800
#     trigger pulses: [HDR, events] = eegmex_edf      vs one pread of each record's Status bytes
#                                                        (C++, the floor)                goal <= 1.5 x floor
#     online, on a growing copy of its first half, one record (1/8 s) appended before each call:
#     eegmex_events(HDR, state, info.frames)                                             goal median <= 1 ms
#     eegfetch (OPT.resume, OPT.newest, 72 channels to 256 Hz) + eegmex_events          goal median <= 2 ms
#  4. HDR = eegmex_edf on a 256-channel EDF           vs mne.io.read_raw_edf(preload=False)  goal <= 5 ms
# MNE's times leave out its import. Environment: BUILD_DIR (build), BENCH_DATA ($BUILD_DIR/benchdata/live),
# RUNS (21), HEADER_RUNS (201), CALLS (300), MNE_ROUNDS (7), LIVE_SECONDS (1800; QUICK=1: 120),
# MARKERS (10000), ANNOTATIONS (60000), PULSES (one a second), MNE=0 to leave MNE out,
# KEEP_DATA=1 to keep the files. Disk: 830 MB of files, and a growing copy of half the BDF file (400 MB)
# in the temporary directory during the online loop, deleted after it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
data=${BENCH_DATA:-$build/benchdata/live}
quick=${QUICK:-0}
runs=${RUNS:-21}
header_runs=${HEADER_RUNS:-201}
calls=${CALLS:-300}
mne_rounds=${MNE_ROUNDS:-7}
seconds=${LIVE_SECONDS:-$([ "$quick" = 1 ] && echo 120 || echo 1800)}
markers=${MARKERS:-10000}
annotations=${ANNOTATIONS:-60000}
pulses=${PULSES:-$seconds}
python=/usr/bin/python3
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench eegfetch_octave_native eegmex_formats_octave_native >/dev/null
bench=$build/bench/eegfetch_bench
mkdir -p "$data"
cleanup() {
  [ "${KEEP_DATA:-0}" = 1 ] ||
    rm -f "$data"/markers.vhdr "$data"/markers.vmrk "$data"/markers.eeg "$data"/annot.edf "$data"/status.bdf \
      "$data"/h256.edf
}
trap cleanup EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "writing the files into $data"
"$python" bench/live.py brainvision "$data/markers" "$markers"
"$python" bench/live.py edfplus "$data/annot.edf" "$annotations"
"$python" bench/live.py bdfstatus "$data/status.bdf" 72 2048 "$seconds" 256 "$pulses"
"$python" bench/live.py edf 256 "$data/h256.edf"
cat "$data"/markers.* "$data"/annot.edf "$data"/status.bdf "$data"/h256.edf >/dev/null  # warm the page cache
echo "  markers.vmrk $(stat -c %s "$data/markers.vmrk") bytes ($markers markers); annot.edf $(stat -c %s "$data/annot.edf") bytes ($annotations annotations)"
echo "  status.bdf $(stat -c %s "$data/status.bdf") bytes (72 + Status at 2048 Hz, $seconds s, records of 256 samples = 1/8 s, $pulses pulses); h256.edf $(stat -c %s "$data/h256.edf") bytes"

b=$("$bench" butter 4 100 2048 | sed -n 's/^b: //p')
a=$("$bench" butter 4 100 2048 | sed -n 's/^a: //p')
floor=$("$bench" statusfloor "$data/status.bdf" $("$python" bench/live.py statusbytes "$data/status.bdf" | cut -d' ' -f1-4) "$runs")
out=$(octave-cli -H --no-gui --no-window-system --quiet --eval \
  "addpath('$build'); addpath('$build/bench/native'); addpath('$(pwd)/bench'); bench_live('$data', $runs, $header_runs, $calls, [$b], [$a])")
if [ "${MNE:-1}" != 0 ] && "$python" -c "import mne" 2>/dev/null; then
  mne_vmrk=$("$python" bench/peer_mne_events.py annotations "$data/markers.vmrk" "$mne_rounds")
  mne_edf=$("$python" bench/peer_mne_events.py annotations "$data/annot.edf" "$mne_rounds")
  mne_head=$("$python" bench/peer_mne_events.py header "$data/h256.edf" "$((mne_rounds * 10))")
else
  mne_vmrk="median_s=nan rounds=0 events=0" mne_edf=$mne_vmrk mne_head=$mne_vmrk
  echo "MNE-Python: skipped (MNE=0 or python3-mne missing)"
fi
echo "Octave: $(tr '\n' ';' <<<"$out")" | sed 's/;/\n  /g'
echo "status floor (C++): $floor"
echo "MNE-Python (import excluded): vmrk $mne_vmrk; edf $mne_edf; 256-channel header $mne_head"

get() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2" | head -1; }
line() { sed -n "/^$1 /p" <<<"$out"; }
awk -v v="$(get median_s "$(line vmrk)")" -v vn="$(get events "$(line vmrk)")" -v vr="$(get runs "$(line vmrk)")" \
    -v mv="$(get median_s "$mne_vmrk")" -v mvn="$(get events "$mne_vmrk")" -v mr="$(get rounds "$mne_vmrk")" \
    -v e="$(get median_s "$(line edfplus)")" -v en="$(get events "$(line edfplus)")" \
    -v me="$(get median_s "$mne_edf")" -v men="$(get events "$mne_edf")" \
    -v s="$(get median_s "$(line bdf_events)")" -v sn="$(get events "$(line bdf_events)")" \
    -v sh="$(get median_s "$(line bdf_header)")" \
    -v fs="$(get status_median_s "$floor")" -v fw="$(get whole_median_s "$floor")" -v fn="$(get events "$floor")" \
    -v oe="$(get events_ms "$(line online)")" -v oep="$(get events_p99_ms "$(line online)")" \
    -v of="$(get fetch_ms "$(line online)")" -v ofp="$(get fetch_p99_ms "$(line online)")" \
    -v ob="$(get both_ms "$(line online)")" -v obp="$(get both_p99_ms "$(line online)")" \
    -v oc="$(get calls "$(line online)")" -v onew="$(get new_events "$(line online)")" \
    -v h="$(get median_s "$(line header256)")" -v hr="$(get runs "$(line header256)")" \
    -v he="$(get median_s "$(line header256_events)")" \
 -v vm="$(get median_s "$(line vmrk_module)")" -v em="$(get median_s "$(line edfplus_module)")" \
    -v sm="$(get median_s "$(line bdf_module)")" -v hm="$(get median_s "$(line header256_module)")" \
    -v mh="$(get median_s "$mne_head")" -v mhr="$(get rounds "$mne_head")" '
function verdict(x, g) { return x <= g ? "met" : sprintf("missed by %.0f%% (%.3g x the goal)", 100 * (x / g - 1), x / g) }
function ratio(x, y) { return y > 0 ? sprintf("%.3f x", x / y) : "no peer" }
BEGIN {
  printf "\n1. eegmex_vmrk, %d markers: %.2f ms (median of %d)  | MNE read_annotations %.2f ms (median of %d, %d markers) | %s\n", vn, 1e3 * v, vr, 1e3 * mv, mr, mvn, ratio(v, mv)
  printf "   of which the module call eegmex_formats('"'"'vmrk'"'"', file) (C++ reader + the host'"'"'s result): %.2f ms\n", 1e3 * vm
  printf "   Goal: <= 0.5 x MNE = %.2f ms: %s\n", 500 * mv, (mv > 0 ? verdict(v, 0.5 * mv) : "no peer")
  printf "2. eegmex_edf [HDR, events], %d EDF+ annotations: %.2f ms (median of %d) | MNE read_annotations %.2f ms (%d) | %s\n", en, 1e3 * e, vr, 1e3 * me, men, ratio(e, me)
  printf "   of which the module call eegmex_formats('"'"'edf'"'"', file): %.2f ms\n", 1e3 * em
  printf "   Goal: <= 0.5 x MNE = %.2f ms: %s\n", 500 * me, (me > 0 ? verdict(e, 0.5 * me) : "no peer")
  printf "3. eegmex_edf [HDR, events], BDF, %d status events: %.2f ms (median of %d; HDR only %.3f ms)\n", sn, 1e3 * s, vr, 1e3 * sh
  printf "   of which the module call eegmex_formats('"'"'edf'"'"', file) (with the events): %.2f ms\n", 1e3 * sm
  printf "   floor: one pread of each record'"'"'s Status bytes, changes counted (%d events): %.2f ms; whole records read (1 MiB preads): %.2f ms\n", fn, 1e3 * fs, 1e3 * fw
  printf "   Goal: <= 1.5 x Status floor = %.2f ms: %s\n", 1.5e3 * fs, verdict(s, 1.5 * fs)
  printf "   online, %d calls, one 1/8 s record appended before each (%d new events): eegmex_events median %.3f ms (p99 %.3f); eegfetch %.3f ms (p99 %.3f); both %.3f ms (p99 %.3f)\n", oc, onew, oe, oep, of, ofp, ob, obp
  printf "   Goal: eegmex_events median <= 1 ms: %s\n", verdict(oe, 1)
  printf "   Goal: eegfetch + eegmex_events median <= 2 ms: %s\n", verdict(ob, 2)
  printf "4. HDR = eegmex_edf, 256-channel EDF: %.3f ms (median of %d; [HDR, events] %.3f ms) | MNE read_raw_edf(preload=False) %.2f ms (median of %d)\n", 1e3 * h, hr, 1e3 * he, 1e3 * mh, mhr
  printf "   of which the module call eegmex_formats('"'"'edf'"'"', file): %.3f ms\n", 1e3 * hm
  printf "   Goal: <= 5 ms: %s\n", verdict(1e3 * h, 5)
}'
