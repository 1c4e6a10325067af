#!/usr/bin/env bash
# Benchmark of the eegfetch reader (a command, not a test). Builds in Release, generates the workloads,
# and times with a warm page cache, reporting medians of several rounds:
#   - the core's read (eeg::readRecording) as the module runs it, and on one thread;
#   - eegfetch in Octave, native (build/eegfetch.oct) and MEX (build/mex/eegfetch.mex), when built, and
#     beside them the host's floor in each flavour: a call that only creates a matrix of the result's
#     size, writes one value into each of its pages and returns it (build/bench/native/eegmex_result.oct,
#     build/bench/eegmex_result.mex). These four run in turn, ALTERNATIONS times (default 3), so that
#     the load of a shared machine falls on all of them alike; each figure is the median of the runs.
#     Then the goals: eegfetch against (decode-only floor + the native floor, i.e. one first touch of
#     a result-sized array), and its peak RSS against Octave's own RSS at start + result + 32 MiB;
#   - the Octave peers: the whole file (fread, filter, indexing, scaling) and chunks with the state carried;
#   - the numpy/scipy peers, whole and chunked, when python3-scipy is installed;
#   - MNE-Python on W1, described by a BrainVision header (w1.vhdr beside w1.bin), when python3-mne is
#     installed: read_raw_brainvision(preload=True), raw.filter with the same coefficients (MNE runs
#     an IIR filter forward and backward: twice the filter work, zero phase), every factor-th sample;
#   - a decode-only floor: read and convert to double, nothing else, built with the core's flags.
# W1: 64 channels int16 little-endian, W1_FRAMES frames (default 3,000,000: 384 MB), 5000 -> 500 Hz, 4th-order
#     Butterworth low-pass at 200 Hz (L = 5), default weights, all channels, scale 0.1.
# W2: 256 channels float32 big-endian, W2_FRAMES frames (default 1,000,000: 1.02 GB), 1000 -> 250 Hz,
#     8th-order Butterworth low-pass at 100 Hz (L = 9), boxcar weights, 64 channels in shuffled order.
# W1 again with an 8th-order 0.1-30 Hz band-pass as 4 second-order sections, beside W1's b/a read in turns,
# as a ratio (goal <= 2).
# Then MB/s of the core on 0.1, 1 and 4 GB recordings shaped like W1, to show linear cost.
# Environment: BUILD_DIR (build), BENCH_DATA ($BUILD_DIR/benchdata), ROUNDS (5), PEER_ROUNDS (3),
# MNE_ROUNDS (1: a round of MNE on the whole W1 takes about a minute and several GB), W1_FRAMES,
# W2_FRAMES, ALTERNATIONS, SCALING=0 to skip the scaling runs, PEERS=0 to skip the Octave, numpy/scipy and
# MNE peers, KEEP_DATA=1 to keep the generated files.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
data=${BENCH_DATA:-$build/benchdata}
rounds=${ROUNDS:-5}
peerRounds=${PEER_ROUNDS:-3}
w2Frames=${W2_FRAMES:-1000000}
w1Frames=${W1_FRAMES:-3000000}
mneRounds=${MNE_ROUNDS:-1}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target eegfetch_bench >/dev/null
if cmake --build "$build" --target help | grep -c eegfetch_octave >/dev/null; then
  cmake --build "$build" -j2 --target eegfetch_octave eegfetch_octave_native eegmex_result_octave \
    eegmex_result_octave_native >/dev/null
fi
bench=$build/bench/eegfetch_bench
mkdir -p "$data"
python=/usr/bin/python3
[ -x "$python" ] || python=python3
haveScipy=0
"$python" -c "import numpy, scipy.signal" 2>/dev/null && haveScipy=1
haveMne=0
"$python" -c "import mne" 2>/dev/null && haveMne=1
haveOctave=0
command -v octave-cli >/dev/null && haveOctave=1
haveModule=0
[ "$haveOctave" = 1 ] && [ -f "$build/eegfetch.oct" ] && [ -f "$build/mex/eegfetch.mex" ] && haveModule=1
alternations=${ALTERNATIONS:-3}

cleanup() { [ "${KEEP_DATA:-0}" = 1 ] || rm -f "$data"/w1.bin "$data"/w1.vhdr "$data"/w1.vmrk "$data"/w2.bin "$data"/scale_*.bin; }
trap cleanup EXIT

# generate NAME nChans format endian frames
generate() {
  local file=$data/$1.bin bytes=$(($2 * ($3 == 1 ? 2 : 4) * $5))
  if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" != "$bytes" ]; then
    echo "generating $file ($bytes bytes)"
    "$bench" generate "$file" "$2" "$3" "$4" "$5"
  fi
}

# vhdr NAME nChans format(1|2|3) endian fs scale: a BrainVision header and marker file for NAME.bin
vhdr() {
  local name=$1 nChans=$2 fs=$5 scale=$6 i
  local formats=(x INT_16 INT_32 IEEE_FLOAT_32)
  {
    printf 'Brain Vision Data Exchange Header File Version 1.0\n[Common Infos]\nCodepage=UTF-8\n'
    printf 'DataFile=%s.bin\nMarkerFile=%s.vmrk\nDataFormat=BINARY\nDataOrientation=MULTIPLEXED\n' "$name" "$name"
    printf 'NumberOfChannels=%d\nSamplingInterval=%s\n' "$nChans" "$(awk -v f="$fs" 'BEGIN { printf "%.17g", 1e6 / f }')"
    printf '[Binary Infos]\nBinaryFormat=%s\n' "${formats[$3]}"
    [ "$4" = b ] && printf 'UseBigEndianOrder=YES\n'
    printf '[Channel Infos]\n'
    for ((i = 1; i <= nChans; i++)); do printf 'Ch%d=E%d,,%s,\xc2\xb5V\n' "$i" "$i" "$scale"; done
  } >"$data/$name.vhdr"
  printf 'Brain Vision Data Exchange Marker File, Version 1.0\n[Marker Infos]\nMk1=New Segment,,1,1,0\n' \
    >"$data/$name.vmrk"
}

csv() { tr -s ' ' '\n' | sed '/^$/d' | paste -sd, -; }
vec() { echo "[$*]"; }

results=()
# measure LABEL COMMAND... : the command prints "median_s=... peak_rss_mb=..."
measure() {
  local label=$1 line
  shift
  if ! line=$("$@" 2>/dev/null | grep median_s= | tail -1) || [ -z "$line" ]; then
    echo "  $label: failed" >&2
    return 0
  fi
  local t m
  t=$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line")
  m=$(sed -E 's/.*peak_rss_mb=([0-9.]+).*/\1/' <<<"$line")
  results+=("$label|$t|$m")
  printf '  %-34s %8.3f s  peak RSS %8.1f MB\n' "$label" "$t" "$m" >&2
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# alternate OCTAVE-ARGS RESULT-MIB: eegfetch and the host's floor in each flavour, in turn; adds their
# medians to the results and prints the goals.
alternate() {
  local octArgs=$1 resultMiB=$2 round i line
  local labels=("host floor, native" "host floor, MEX"
    "eegfetch in Octave, native" "eegfetch in Octave, MEX")
  local b
  b=$(cd "$build" && pwd)
  local dirs=("$b/bench/native" "$b/bench" "$b" "$b/mex")
  local modes=(result result eegfetch eegfetch)
  local times=("" "" "" "") rss=("" "" "" "") base=""
  if [ -n "${BASELINE:-}" ]; then  # another build's native module, in the same turns
    labels+=("eegfetch native, BASELINE build")
    dirs+=("$(cd "$BASELINE" && pwd)")
    modes+=(eegfetch)
    times+=("")
    rss+=("")
  fi
  local contenders=${#labels[@]}
  for ((round = 0; round < alternations; round++)); do
    for ((i = 0; i < contenders; i++)); do
      line=$(octave-cli -H --no-window-system --eval "addpath('$b'); addpath('${dirs[$i]}'); addpath('$PWD/bench');
        assert(strncmp(which('${modes[$i]/result/eegmex_result}'), '${dirs[$i]}/', numel('${dirs[$i]}') + 1));
        peer_octave('${modes[$i]}', $octArgs, $rounds)" 2>/dev/null | grep median_s= | tail -1) || line=""
      [ -n "$line" ] || { echo "  ${labels[$i]}: failed" >&2; continue; }
      times[$i]+="$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line") "
      rss[$i]+="$(sed -E 's/.*peak_rss_mb=([0-9.]+).*/\1/' <<<"$line") "
      base+="$(sed -E 's/.*base_rss_mb=([0-9.]+).*/\1/' <<<"$line") "
    done
  done
  local t m
  for ((i = 0; i < contenders; i++)); do
    [ -n "${times[$i]}" ] || continue
    t=$(tr ' ' '\n' <<<"${times[$i]}" | sed '/^$/d' | median)
    m=$(tr ' ' '\n' <<<"${rss[$i]}" | sed '/^$/d' | median)
    results+=("${labels[$i]}|$t|$m")
    printf '  %-34s %8.3f s  peak RSS %8.1f MB (median of %d runs)\n' "${labels[$i]}" "$t" "$m" "$alternations" >&2
  done
  baseMb=$(tr ' ' '\n' <<<"$base" | sed '/^$/d' | median)
  goalResultMiB=$resultMiB
}

# goals: eegfetch in each flavour against the decode-only floor plus one first touch of the result
# (the native host floor), and its peak RSS against Octave's own at start + result + 32 MiB.
goals() {
  local floor="" touch="" label t m r
  for r in "${results[@]}"; do
    IFS='|' read -r label t m <<<"$r"
    case $label in
      "decode-only floor") floor=$t ;;
      "host floor, native"*) touch=$t ;;
    esac
  done
  [ -n "$floor" ] && [ -n "$touch" ] && [ -n "${baseMb:-}" ] || return 0
  echo
  awk -v f="$floor" -v h="$touch" -v b="$baseMb" -v r="$goalResultMiB" 'BEGIN {
    printf "Goals: time <= 1.2 x (decode-only floor %.3f s + one first touch %.3f s) = %.3f s; ", f, h, 1.2 * (f + h)
    printf "peak RSS <= Octave at start %.1f MB + result %.1f MB + 32 MB = %.1f MB\n\n", b, r, b + r + 32 }'
  printf '| %-28s | %8s | %14s | %12s | %9s |\n' flavour "wall (s)" "x (floor+touch)" "peak RSS MB" "RSS goal"
  printf '|%s|%s|%s|%s|%s|\n' "------------------------------" "----------" "----------------" "--------------" "-----------"
  for r in "${results[@]}"; do
    IFS='|' read -r label t m <<<"$r"
    case $label in
      "eegfetch in Octave"*)
        awk -v l="$label" -v t="$t" -v m="$m" -v f="$floor" -v h="$touch" -v b="$baseMb" -v r="$goalResultMiB" 'BEGIN {
          printf "| %-28s | %8.3f | %15.2f%s | %12.1f | %9s |\n", l, t, t / (f + h), (t / (f + h) <= 1.2 ? " " : "!"), m,
            (m <= b + r + 32 ? "met" : "missed") }'
        ;;
    esac
  done
}

# table BYTES: prints the collected results with MB/s and ratios to the floor and to eegfetch (in Octave
# when it was measured, else the core's read)
table() {
  local bytes=$1 floor="" core=""
  for r in "${results[@]}"; do
    case $r in
      "decode-only floor"*) floor=$(cut -d'|' -f2 <<<"$r") ;;
      "core read (module settings)"*) [ -n "$core" ] || core=$(cut -d'|' -f2 <<<"$r") ;;
      "eegfetch in Octave, native"*) core=$(cut -d'|' -f2 <<<"$r") ;;
    esac
  done
  printf '| %-34s | %8s | %8s | %12s | %9s | %10s |\n' program "wall (s)" "MB/s" "peak RSS MB" "x floor" "x eegfetch"
  printf '|%s|%s|%s|%s|%s|%s|\n' "------------------------------------" "----------" "----------" "--------------" "-----------" "------------"
  for r in "${results[@]}"; do
    IFS='|' read -r label t m <<<"$r"
    awk -v l="$label" -v t="$t" -v m="$m" -v b="$bytes" -v f="$floor" -v c="$core" 'BEGIN {
      printf "| %-34s | %8.3f | %8.0f | %12.1f | %9s | %10s |\n", l, t, b / 1e6 / t, m,
        (f == "" ? "-" : sprintf("%.2f", t / f)), (c == "" ? "-" : sprintf("%.1f", t / c)) }'
  done
}

# workload NAME nChans format endian fs targetFs order cutoff weights(last|boxcar) nSel
workload() {
  local name=$1 nChans=$2 format=$3 endian=$4 fs=$5 targetFs=$6 order=$7 cutoff=$8 weights=$9 nSel=${10}
  local file=$data/$name.bin bytes factor b a w chanidx scale
  bytes=$(stat -c %s "$file")
  factor=$((fs / targetFs))
  b=$("$bench" butter "$order" "$cutoff" "$fs" | sed -n 's/^b: //p')
  a=$("$bench" butter "$order" "$cutoff" "$fs" | sed -n 's/^a: //p')
  if [ "$weights" = boxcar ]; then
    w=$(awk -v n=$factor 'BEGIN { for (i = 0; i < n; i++) printf "%.17g ", 1 / n }')
  else
    w=$(awk -v n=$factor 'BEGIN { for (i = 1; i < n; i++) printf "0 "; printf "1" }')
  fi
  chanidx=$("$bench" select "$nChans" "$nSel")
  scale=$(awk -v n="$nChans" 'BEGIN { for (i = 0; i < n; i++) printf "0.1 " }')
  cat "$file" >/dev/null  # warm the page cache
  local args=("$file" "$nChans" "$format" "$endian" "$order" "$cutoff" "$fs" "$targetFs" "$weights" "$nSel")
  results=()
  echo "$name: $(basename "$file"), $bytes bytes" >&2
  measure "decode-only floor" "$bench" run floor "${args[@]}" "$rounds"
  measure "core read (module settings)" "$bench" run core "${args[@]}" "$rounds" 0 0
  measure "core read, 1 thread" "$bench" run core "${args[@]}" "$rounds" 1 0
  local oct=(octave-cli -H --no-window-system --path bench --path "$build" --eval)
  local octArgs="'$file', $nChans, $format, '$endian', $fs, $targetFs, $(vec $b), $(vec $a), $(vec $w), $(vec $chanidx), $(vec $scale)"
  baseMb=""
  if [ "$haveModule" = 1 ]; then
    local frames=$((bytes / nChans / (format == 1 ? 2 : 4))) cols=$nSel
    [ "$cols" != 0 ] || cols=$nChans
    alternate "$octArgs" "$(awk -v n=$((frames / factor)) -v c="$cols" 'BEGIN { printf "%.1f", n * c * 8 / 1048576 }')"
  else
    echo "  eegfetch in Octave: skipped ($build/eegfetch.oct or $build/mex/eegfetch.mex not built)" >&2
  fi
  if [ "${PEERS:-1}" = 0 ]; then
    echo "  peers: skipped (PEERS=0)" >&2
  elif [ "$haveOctave" = 1 ]; then
    measure "Octave whole file" "${oct[@]}" "peer_octave('whole', $octArgs, $peerRounds)"
    measure "Octave chunked (filter with zi)" "${oct[@]}" "peer_octave('chunked', $octArgs, $peerRounds)"
  fi
  if [ "${PEERS:-1}" = 0 ]; then
    :
  elif [ "$haveScipy" = 1 ]; then
    local pyArgs=("$file" "$nChans" "$format" "$endian" "$fs" "$targetFs" "$(csv <<<"$b")" "$(csv <<<"$a")"
      "$(csv <<<"$w")" "$(csv <<<"$chanidx")" "$(csv <<<"$scale")" "$peerRounds")
    measure "numpy/scipy whole file" "$python" bench/peer_numpy.py whole "${pyArgs[@]}"
    measure "numpy/scipy chunked (lfilter zi)" "$python" bench/peer_numpy.py chunked "${pyArgs[@]}"
  else
    echo "  numpy/scipy peers: skipped (python3-scipy not installed)" >&2
  fi
  if [ "${PEERS:-1}" = 0 ]; then
    :
  elif [ -f "$data/$name.vhdr" ] && [ "$haveMne" = 1 ]; then
    measure "MNE (read, filtfilt, decimate)" "$python" bench/peer_mne.py "$data/$name.vhdr" "$fs" "$targetFs" \
      "$(csv <<<"$b")" "$(csv <<<"$a")" "$mneRounds"
  elif [ -f "$data/$name.vhdr" ]; then
    echo "  MNE peer: skipped (python3-mne not installed)" >&2
  fi
  echo
  echo "### $name ($bytes bytes; $(nproc) processors)"
  echo
  table "$bytes"
  goals
}

generate w1 64 1 l "$w1Frames"
vhdr w1 64 1 l 5000 0.1
workload w1 64 1 l 5000 500 4 200 last 0

# W1 read with an 8th-order 0.1-30 Hz band-pass as 4 second-order sections beside its 4th-order b/a read,
# the two taking turns ALTERNATIONS times (module settings, then one thread); goal: sections <= 2 x b/a.
sections_beside_ba() {
  local threads label round line tb ts
  local w1=("$data/w1.bin" 64 1 l 4)
  echo
  echo "### W1: 4 second-order sections (band-pass 0.1-30 Hz) beside the 4th-order b/a (low-pass 200 Hz)"
  echo
  echo "| threads | b/a (s) | sections (s) | sections / b/a | goal <= 2 |"
  echo "|---|---|---|---|---|"
  for threads in 0 1; do
    tb="" ts=""
    for ((round = 0; round < alternations; round++)); do
      line=$("$bench" run core "${w1[@]}" 200 5000 500 last 0 "$rounds" "$threads" 0 | grep median_s=) || line=""
      tb+="$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line") "
      line=$("$bench" run sections "${w1[@]}" 30 5000 500 last 0 "$rounds" "$threads" 0 | grep median_s=) || line=""
      ts+="$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line") "
    done
    tb=$(tr ' ' '\n' <<<"$tb" | sed '/^$/d' | median)
    ts=$(tr ' ' '\n' <<<"$ts" | sed '/^$/d' | median)
    label=$([ "$threads" = 0 ] && echo "read, module's" || echo "read, $threads")
    awk -v l="$label" -v b="$tb" -v s="$ts" 'BEGIN {
      printf "| %s | %.3f | %.3f | %.2f | %s |\n", l, b, s, s / b, (s / b <= 2 ? "met" : "missed") }'
  done
  # The arithmetic alone, in cache, on one thread (the widest instruction set): what the sections cost
  # where nothing else hides it. Not a goal: sosfilt's order takes 38 operations a frame and channel
  # against the b/a loop's 19.
  tb="" ts=""
  for ((round = 0; round < alternations; round++)); do
    line=$("$bench" kernel "${w1[@]}" 200 5000 500 "$rounds" | grep median_s=) || line=""
    tb+="$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line") "
    line=$("$bench" kernel "${w1[@]}" 30 5000 500 "$rounds" 0 sections | grep median_s=) || line=""
    ts+="$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line") "
  done
  tb=$(tr ' ' '\n' <<<"$tb" | sed '/^$/d' | median)
  ts=$(tr ' ' '\n' <<<"$ts" | sed '/^$/d' | median)
  awk -v b="$tb" -v s="$ts" 'BEGIN { printf "| arithmetic alone, 1 | %.3f | %.3f | %.2f | - |\n", b, s, s / b }'
}
cat "$data/w1.bin" >/dev/null
sections_beside_ba
generate w2 256 3 b "$w2Frames"
workload w2 256 3 b 1000 250 8 100 boxcar 64
rm -f "$data/w2.bin"

if [ "${SCALING:-1}" != 0 ]; then
  echo "scaling: W1-shaped recordings of 0.1, 1 and 4 GB" >&2
  # 0.1 GB generated, the larger ones as copies of it
  "$bench" generate "$data/scale_0.bin" 64 1 l 781250
  echo
  echo "### Scaling (W1 shape: 64 channels int16, L = 5, factor 10; core read, module settings)"
  echo
  echo "| size | wall (s) | MB/s |"
  echo "|---|---|---|"
  for copies in 1 10 40; do
    f=$data/scale_$copies.bin
    if [ "$copies" != 1 ]; then
      for ((i = 0; i < copies; i++)); do cat "$data/scale_0.bin"; done >"$f"
    else
      cp "$data/scale_0.bin" "$f"
    fi
    cat "$f" >/dev/null
    line=$("$bench" run core "$f" 64 1 l 4 200 5000 500 last 0 3 0 0)
    t=$(sed -E 's/.*median_s=([0-9.]+).*/\1/' <<<"$line")
    bytes=$(stat -c %s "$f")
    awk -v t="$t" -v b="$bytes" 'BEGIN { printf "| %.1f GB | %.3f | %.0f |\n", b / 1e9, t, b / 1e6 / t }'
    [ "$copies" = 1 ] || rm -f "$f"
  done
  rm -f "$data"/scale_*.bin
fi
