#!/usr/bin/env bash
# H.264 on Windows against Linux, side by side in one run: the Windows
# tidepool.exe under Wine (its runtime on FFmpeg's decoders when their
# libraries sit beside it, else on the system's decoder) and the Linux
# tidepool, each running `convert FILE --discard` (both pins into
# discarding renderers, no clock) on the same movies made here by ffmpeg:
#   - 1280x720, 60 s, 25 per second, 250-frame GOPs, 3 B-frames, with AAC,
#     long enough that Wine's start-up does not weigh: the Windows time
#     over the Linux time (target: 1.3 or less);
#   - the same for 10 s (target: 2 or less);
#   - 320x240, 20 s, GOPs of 12, 50 and 250 frames, 2 B-frames: the Windows
#     time per frame for each (target: GOP 250 within 1.5x of GOP 12).
# Then the decoder alone, in one process without the graph: tp_mf_decode
# --deferred-only (one forward pass, pictures received in display order)
# beside `ffmpeg -threads 1` decoding the same video.
# Each figure is the best of RUNS runs (default 3), or their median with
# STAT=median (steadier on a machine others are using). Wine's own start-up
# (a run of tidepool.exe that opens nothing) is measured too and printed
# beside the figures, which include it. A benchmark, not a test: it prints
# figures and exits 0 unless something failed to run.
# Usage: bench/wine_h264.sh [build/windows [build/default]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/windows}")
linux=$(realpath "${2:-build/default}")
runs=${RUNS:-3}
stat=${STAT:-best}
[ "$stat" = best ] || [ "$stat" = median ] || { echo "wine bench: STAT is best or median"; exit 1; }
tool="$build/bin/tidepool.exe"
for f in "$build/bin/Tidepool.ax" "$tool" "$build/QuickTime/QuickTime.qts" "$linux/bin/tidepool"; do
  [ -f "$f" ] || { echo "wine bench: $f was not built"; exit 1; }
done
command -v wine >/dev/null || { echo "wine bench: wine is not installed (scripts/wine_check.sh installs it)"; exit 1; }

# shellcheck source=../scripts/wine_prefix.sh
source scripts/wine_prefix.sh
wine_prefix_setup "wine bench" "$build/bin/Tidepool.ax"
wineserver -p 2>/dev/null || true
TP_REGISTRY_FILE="$scratch/linux.reg" "$linux/bin/regsvr32" /s "$linux/bin/Tidepool.ax"

movies="$scratch/movies"
mkdir -p "$movies"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=10 \
  -c:v libx264 -g 250 -bf 3 -pix_fmt yuv420p -c:a aac -shortest "$movies/hd_gop250.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 \
  -c:v libx264 -preset veryfast -g 250 -bf 3 -pix_fmt yuv420p -c:a aac -shortest "$movies/hd60_gop250.mp4"
for gop in 12 50 250; do
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=20 \
    -c:v libx264 -g $gop -bf 2 -pix_fmt yuv420p "$movies/sd_gop$gop.mp4"
done

calc() { python3 -c "print($1)"; }
# pick TIME...: the shortest of the times given, or their median (STAT).
pick() {
  python3 -c 'import statistics,sys; v=[float(x) for x in sys.argv[2:]]; print("%.3f" % (min(v) if sys.argv[1] == "best" else statistics.median(v)))' "$stat" "$@"
}
# best_of COMMAND...: the wall-clock time of $runs runs, in seconds, picked.
best_of() {
  local i t0 t1 times=()
  for ((i = 0; i < runs; i++)); do
    t0=$(date +%s.%N)
    timeout --kill-after=10 600 "$@" >/dev/null 2>&1 || { echo "wine bench: $* failed" >&2; return 1; }
    t1=$(date +%s.%N)
    times+=("$(calc "$t1 - $t0")")
  done
  pick "${times[@]}"
}
wconvert() { best_of wine "$(winpath "$tool")" convert "$(winpath "$1")" --discard; }
lconvert() { TP_REGISTRY_FILE="$scratch/linux.reg" best_of "$linux/bin/tidepool" convert "$1" --discard; }

echo "wine bench: each figure the $stat of $runs runs"
startup=$(best_of wine "$(winpath "$tool")" --help)
echo "wine bench: Wine start-up of tidepool.exe (no movie): $startup s (included in every Windows figure)"
echo
decoders=system
if compgen -G "$build/QuickTime/avcodec-*.dll" >/dev/null; then decoders=FFmpeg; fi
echo "wine bench: the Windows runtime decodes with the $decoders decoders"
printf '%-34s %9s %9s %9s\n' "movie" "Windows" "Linux" "ratio"
w=$(wconvert "$movies/hd60_gop250.mp4")
l=$(lconvert "$movies/hd60_gop250.mp4")
printf '%-34s %8ss %8ss %8.2fx  (target 1.3x)\n' "1280x720 60 s GOP 250, 3 B, AAC" "$w" "$l" "$(calc "$w / $l")"
w=$(wconvert "$movies/hd_gop250.mp4")
l=$(lconvert "$movies/hd_gop250.mp4")
printf '%-34s %8ss %8ss %8.2fx  (target 2x)\n' "1280x720 10 s GOP 250, 3 B, AAC" "$w" "$l" "$(calc "$w / $l")"
echo
printf '%-34s %9s %9s %12s\n' "movie (500 frames)" "Windows" "Linux" "Windows/frame"
declare -A perframe
for gop in 12 50 250; do
  w=$(wconvert "$movies/sd_gop$gop.mp4")
  l=$(lconvert "$movies/sd_gop$gop.mp4")
  perframe[$gop]=$(calc "$w * 1000 / 500")
  printf '%-34s %8ss %8ss %10.2fms\n' "320x240 20 s GOP $gop, 2 B" "$w" "$l" "${perframe[$gop]}"
done
printf 'per frame, GOP 250 / GOP 12: %.2fx  (target 1.5x)\n' "$(calc "${perframe[250]} / ${perframe[12]}")"
echo
mfdecode="$build/bin/tp_mf_decode.exe"
if [ -f "$mfdecode" ]; then
  printf '%-34s %9s %9s %9s\n' "decoder alone" "Windows" "ffmpeg" "ratio"
  for name in hd_gop250 sd_gop12 sd_gop50 sd_gop250; do
    times=()
    for ((i = 0; i < runs; i++)); do
      rm -rf "$scratch/mf" && mkdir "$scratch/mf"
      t=$(timeout --kill-after=10 600 wine "$(winpath "$mfdecode")" "$(winpath "$movies/$name.mp4")" \
        "$(winpath "$scratch/mf")" --deferred-only | tr -d '\r' | sed -n 's/^deferred: .* samples in \([0-9.]*\) s;.*/\1/p')
      [ -n "$t" ] || { echo "wine bench: tp_mf_decode failed on $name.mp4"; exit 1; }
      times+=("$t")
    done
    best=$(pick "${times[@]}")
    l=$(best_of ffmpeg -nostdin -v error -threads 1 -i "$movies/$name.mp4" -an -f null -)
    printf '%-34s %8ss %8ss %8.2fx\n' "$name.mp4" "$best" "$l" "$(calc "$best / $l")"
  done
fi
