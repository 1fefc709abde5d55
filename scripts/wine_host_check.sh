#!/usr/bin/env bash
# The Windows tidepool.exe under Wine, in Wine's own graph manager: a fresh
# headless prefix, regsvr32 of Tidepool.ax, then tidepool.exe info and
# convert on movies made here by ffmpeg, against the Linux build's tidepool:
# byte-equal (video in the seven formats, sound, sample times, and a start,
# stop and rate) on an uncompressed RGB + 'twos' movie and a '2vuy' + 'sowt'
# one; close on H.264 (B-frames) + AAC when the Windows runtime decodes it
# (same frames and times, every picture at 40 dB or better, sound correlating
# at 0.99 or better at the same level). On each, seeks while the graph runs
# (both pins streaming) and while it is paused, in Wine's graph and in ours,
# must deliver what a convert from the seek's time delivers. A movie in two
# languages with subtitles: the second sound track chosen through
# IAMStreamSelect and the "Subtitle" pin's cues, byte-equal. Byte-equal
# too: what our own decoders and readers serve (Animation at odd sizes in
# three depths, indexed and grey 'raw ', 'ima4', AIFF, raw H.264 through our
# reader); and .dv and
# .cif refused, the runtime's debug output naming the format. H.264 pictures
# at 1920x1080, 1366x768, 1280x720 (BT.709) and 642x362 against Linux's:
# I420 byte for byte, YUY2 byte for byte at 1920x1080 and 642x362, RGB32
# at 40 dB or better. 'jpeg' (321 x
# 241, with AAC 5.1), 'mjpa' and Cinepak on the system's image and Video for
# Windows decoders, close to Linux's (40 dB or better). HEVC, AV1, MPEG-4
# part 2 (with and without B-pictures), H.263, DV, ProRes, ALAC and Opus,
# which Wine cannot decode, are
# refused at load: no pin, the codec named by info and convert, exit 1 for
# the stream asked for. Without a
# Windows runtime, info must report the movie's lack of streams cleanly.
# tidepool.exe finds the runtime beside its bin/ folder, as on Linux. Every
# Wine run has a watchdog; a seek run that fails shows the end of the
# filter's trace.
# With FFmpeg's libraries beside the Windows runtime (the default build),
# every codec and file type that the Linux build decodes is byte for byte
# Linux's instead (the refusals above are then the system decoders' own
# run, with the libraries removed), and SystemDecodersFirst puts the
# system's decoders back in front.
# Usage: scripts/wine_host_check.sh [build/windows [build/default]]
#   TP_WINE_DECODERS=ffmpeg|system: which decoders the runtime's folder
#   offers (default: ffmpeg when FFmpeg's libraries are there).
#   TP_WINE_H264=auto|1|0: compare the H.264 + AAC movie when the Windows
#   runtime decodes it (auto, the default), always (1), or never (0).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/windows}")
linux=$(realpath "${2:-build/default}")
module="$build/bin/Tidepool.ax"
tool="$build/bin/tidepool.exe"
for f in "$module" "$tool"; do
  [ -f "$f" ] || { echo "wine host: $f was not built"; exit 1; }
done
command -v wine >/dev/null || { echo "wine host: wine is not installed (scripts/wine_check.sh installs it)"; exit 1; }
decoders=${TP_WINE_DECODERS:-}
if [ -z "$decoders" ]; then
  decoders=system
  if compgen -G "$build/QuickTime/avcodec-*.dll" >/dev/null; then decoders=ffmpeg; fi
fi
[ "$decoders" = ffmpeg ] || [ "$decoders" = system ] || { echo "wine host: TP_WINE_DECODERS is ffmpeg or system"; exit 1; }
echo "wine host: the runtime decodes with the $decoders decoders first"

# shellcheck source=wine_prefix.sh
source scripts/wine_prefix.sh
wine_prefix_setup "wine host" "$module"
# Without FFmpeg beside the runtime, its libraries may still be on the
# host's search path (scripts/windows_without_ffmpeg.sh keeps them aside):
# in the system folder, the runtime must not take them from there.
if [ "$decoders" = system ] && compgen -G "$build/ffmpeg-elsewhere/*.dll" >/dev/null; then
  cp "$build"/ffmpeg-elsewhere/*.dll "$WINEPREFIX/drive_c/windows/system32/"
  echo "wine host: FFmpeg's libraries are in the system folder, not beside the runtime"
fi

# One wineserver for every run below, instead of one started per program.
wineserver -p 2>/dev/null || true
movies="$scratch/movies"
mkdir -p "$movies"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=3 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 \
  -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16be "$movies/raw_twos.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=96x64:rate=15:duration=3 \
  -f lavfi -i sine=frequency=660:sample_rate=48000:duration=3 \
  -c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le -ac 2 "$movies/2vuy_sowt.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=3 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 \
  -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -c:a aac -shortest "$movies/h264_aac.mp4"

# Runs tidepool.exe under its watchdog. With $trace set, the filter's trace
# goes to that file, and a failure shows its end.
trace=""
wtool() {
  if [ -z "$trace" ]; then
    timeout --kill-after=10 120 wine "$(winpath "$tool")" "$@"
    return
  fi
  local status=0
  rm -f "$trace"
  QUILLTRACE_FILE="$(winpath "$trace")" QUILLTRACE_LEVEL=2 timeout --kill-after=10 120 wine "$(winpath "$tool")" "$@" ||
    status=$?
  if [ $status -ne 0 ] && [ -f "$trace" ]; then
    echo "wine host: the end of the trace of tidepool.exe $*:"
    tail -n 60 "$trace" | tr -d '\r'
  fi
  return $status
}
ltool() { TP_REGISTRY_FILE="$scratch/linux.reg" timeout --kill-after=10 120 "$linux/bin/tidepool" "$@"; }
fail() {
  echo "wine host: $1"
  exit 1
}
# A wine argument for each path (the Linux tool takes the paths as they are).
wargs() {
  local a
  for a in "$@"; do
    if [[ $a == /* ]]; then winpath "$a"; else printf '%s' "$a"; fi
    printf '\0'
  done
}
# Runs the same convert under Wine and on Linux; "{}" in an argument stands
# for the run's own output prefix, BASE.wine or BASE.linux.
convert_both() {
  local base=$1 movie=$2
  shift 2
  local w="$base.wine" l="$base.linux"
  mapfile -d '' -t wa < <(wargs convert "$movie" "${@//\{\}/$w}")
  wtool "${wa[@]}" >/dev/null || fail "tidepool.exe convert $* on $(basename "$movie") failed"
  ltool convert "$movie" "${@//\{\}/$l}" >/dev/null || fail "tidepool convert $* on $(basename "$movie") failed"
}
# Wine's run BASE.wine against Linux's BASE.linux: video, sound and times
# byte for byte; each difference joins $differs.
same_output() {
  local w="$1.wine" l="$1.linux"
  [ -s "$w.raw" ] && [ -s "$w.wav" ] || fail "$2: nothing converted under Wine"
  cmp -s "$l.raw" "$w.raw" || differs+=("$2: the video ($(where "$l.raw" "$w.raw"))")
  cmp -s "$l.wav" "$w.wav" || differs+=("$2: the sound ($(where "$l.wav" "$w.wav"))")
  same_times "$l.times" "$w.times" || differs+=("$2: the sample times")
}
# "byte N, line M": where two files first differ.
where() { cmp "$1" "$2" | sed 's/.*differ: //' || true; }
# The time lines of each pin in order (the two pins' lines interleave at
# random).
same_times() {
  local pin
  for pin in Video Audio; do
    cmp -s <(grep "^$pin " "$1") <(grep "^$pin " "$2") || return 1
  done
}

# A seek while running (both pins streaming) and one while paused (both sinks
# holding a sample), in each graph. Each run is held against a convert from
# the seek's time by the same build, so that this compares the graphs, not
# the runtimes. Usage: seek_checks NAME MOVIE FORMAT SECONDS
seek_checks() {
  local name=$1 movie=$2 format=$3 at=$4 mode before
  convert_both "$out/$name.start" "$movie" --format "$format" --video {}.raw --audio {}.wav --times {}.times \
    --start "$at"
  for mode in running paused; do
    echo "== wine host: seek while $mode, both pins connected, $(basename "$movie")"
    trace="$out/$name.$mode.trace"
    convert_both "$out/$name.$mode" "$movie" --format "$format" --video {}.raw --audio {}.wav --times {}.times \
      "--seek-$mode" "$at"
    trace=""
    before=${#differs[@]}
    python3 scripts/compare_convert.py seek-tail "$out/$name.$mode.wine" "$out/$name.start.wine" ||
      differs+=("$(basename "$movie"): Wine's graph, after a seek while $mode")
    python3 scripts/compare_convert.py seek-tail "$out/$name.$mode.linux" "$out/$name.start.linux" ||
      differs+=("$(basename "$movie"): our graph, after a seek while $mode")
    if [ ${#differs[@]} -eq "$before" ]; then
      echo "wine host: $(basename "$movie"): after a seek while $mode, both graphs deliver what a convert from there does"
    fi
  done
}

# Without the Windows runtime, a movie does not load, and info says why.
if [ ! -f "$build/QuickTime/QuickTime.qts" ]; then
  echo "== wine host: tidepool.exe info without a movie runtime"
  set +e
  wtool info "$(winpath "$movies/raw_twos.mov")" >"$scratch/info.out" 2>"$scratch/info.err"
  status=$?
  set -e
  [ $status -eq 1 ] && grep -q "runtime cannot be found or bound" "$scratch/info.err" ||
    fail "info without a runtime: status $status, $(tr -d '\r' <"$scratch/info.err")"
  echo "wine host: no movie runtime built; tidepool.exe reports no streams cleanly; passed"
  exit 0
fi

[ -x "$linux/bin/tidepool" ] || fail "the Linux build in $linux is needed for the comparisons"
TP_REGISTRY_FILE="$scratch/linux.reg" "$linux/bin/regsvr32" /s "$linux/bin/Tidepool.ax" ||
  fail "Linux regsvr32 failed"
out="$scratch/out"
mkdir -p "$out"

# Load's result for files that do not load, each on a new filter that then
# loads a good movie: a missing file, an empty one, random bytes, a movie
# cut short, a folder, and an AV1 movie where nothing decodes AV1.
echo "== wine host: Load's result for files that do not load"
loads="$scratch/loads"
mkdir -p "$loads"
: >"$loads/empty.mov"
head -c 20000 /dev/urandom >"$loads/random.mov"
head -c "$(($(stat -c %s "$movies/h264_aac.mp4") - 200))" "$movies/h264_aac.mp4" >"$loads/cut.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v libaom-av1 -cpu-used 8 \
  "$loads/av1.mp4"
loadwine="$build/bin/tp_wine_load.exe"
[ -f "$loadwine" ] || fail "$loadwine was not built"
# tidepool.exe's first run names the runtime's folder in the registry.
wtool info "$(winpath "$movies/raw_twos.mov")" >/dev/null || fail "tidepool.exe info raw_twos.mov failed"
# HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), VFW_E_UNKNOWN_FILE_TYPE,
# VFW_E_INVALID_FILE_FORMAT, VFW_E_UNSUPPORTED_VIDEO (AV1 only where the
# system's decoders serve alone: FFmpeg's libraries decode it).
loadcases=("$(winpath "$loads/missing.mov")=80070002" "$(winpath "$loads")=80070002"
  "$(winpath "$loads/empty.mov")=80040240" "$(winpath "$loads/random.mov")=80040240"
  "$(winpath "$loads/cut.mp4")=8004022f")
[ "$decoders" = system ] && loadcases+=("$(winpath "$loads/av1.mp4")=8004025d")
timeout --kill-after=10 120 wine "$(winpath "$loadwine")" "$(winpath "$movies/raw_twos.mov")" "${loadcases[@]}" |
  tr -d '\r' || fail "Load's results differ from what the cases call for"

# Every comparison runs before the stage fails, to show all that differ.
differs=()
for name in raw_twos 2vuy_sowt; do
  movie="$movies/$name.mov"
  before=${#differs[@]}
  echo "== wine host: tidepool.exe info and convert, $name.mov"
  wtool info --json "$(winpath "$movie")" | tr -d '\r' | grep -v '"file":' >"$out/$name.info.wine" ||
    fail "tidepool.exe info $name.mov failed"
  ltool info --json "$movie" | grep -v '"file":' >"$out/$name.info.linux" || fail "tidepool info failed on Linux"
  diff "$out/$name.info.linux" "$out/$name.info.wine" || fail "info differs on $name.mov"
  for format in YV12 YUY2 I420 RGB32 RGB24 RGB555 RGB565; do
    convert_both "$out/$name.$format" "$movie" --format "$format" --video {}.raw --audio {}.wav --times {}.times
    same_output "$out/$name.$format" "$name.mov $format"
  done
  # A start, a stop and a rate, through each graph's IMediaSeeking.
  convert_both "$out/$name.range" "$movie" --format YV12 --video {}.raw --audio {}.wav --times {}.times \
    --start 0.5 --stop 2 --rate 2
  same_output "$out/$name.range" "$name.mov --start 0.5 --stop 2 --rate 2"
  if [ ${#differs[@]} -eq "$before" ]; then
    echo "wine host: $name.mov: info, video in seven formats, sound, times, and a start, stop and rate equal Linux's"
  fi

  seek_checks "$name" "$movie" RGB24 1.5
done
# A name outside ASCII (and inside the ANSI code page) reaches the filter and
# the runtime whole.
echo "== wine host: tidepool.exe info on a movie named outside ASCII"
cp "$movies/2vuy_sowt.mov" "$movies/café ü.mov"
if wtool info --json "$(winpath "$movies/café ü.mov")" 2>"$out/name.err" | grep -q '"name": "Video"'; then
  echo "wine host: café ü.mov: opened"
else
  differs+=("café ü.mov: $(tr -d '\r' <"$out/name.err")")
fi

# Our own decoders and readers, the same code on both systems: Animation
# ('rle ') at odd sizes in three depths with 'ima4' sound, indexed (8 bits,
# the movie's own colour table) and grey 'raw ' at odd sizes, an AIFF, and raw
# H.264 (our reader; the pictures from the system's decoder under Wine),
# byte for byte with Linux. A movie may lack one of the two pins.
same_present() {
  local w="$1.wine" l="$1.linux" f
  for f in raw wav; do
    [ -s "$l.$f" ] || continue
    if [ ! -s "$w.$f" ]; then
      differs+=("$2: no $f under Wine")
    elif ! cmp -s "$l.$f" "$w.$f"; then
      differs+=("$2: the $f ($(where "$l.$f" "$w.$f"))")
    fi
  done
  same_times "$l.times" "$w.times" || differs+=("$2: the sample times")
}
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=33x17:rate=10:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 -c:v qtrle -pix_fmt rgb555be -c:a adpcm_ima_qt \
  "$movies/rle16_ima4.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=65x49:rate=10:duration=2 \
  -f lavfi -i sine=frequency=330:sample_rate=44100:duration=2 -c:v qtrle -pix_fmt rgb24 -c:a adpcm_ima_qt -ac 2 \
  "$movies/rle24_ima4.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=31x23:rate=10:duration=2 \
  -f lavfi -i sine=frequency=550:sample_rate=32000:duration=2 -c:v qtrle -pix_fmt argb -c:a adpcm_ima_qt -ac 2 \
  "$movies/rle32_ima4.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=17x9:rate=10:duration=1 -c:v rawvideo -pix_fmt pal8 \
  "$movies/raw_pal8.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=33x7:rate=10:duration=1 -c:v rawvideo -pix_fmt gray \
  "$movies/raw_gray.mov"
ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -ac 2 -c:a pcm_s16be \
  "$movies/sound.aif"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v libx264 -bf 2 -g 12 \
  -pix_fmt yuv420p "$movies/raw.264"
own_checks() {
  local name movie format before pins
  # MOVIE:FORMAT, or MOVIE:- for sound alone.
  for name in rle16_ima4.mov:RGB24 rle16_ima4.mov:YV12 rle24_ima4.mov:RGB24 rle24_ima4.mov:YUY2 \
    rle32_ima4.mov:RGB32 rle32_ima4.mov:I420 raw_pal8.mov:RGB24 raw_gray.mov:I420 sound.aif:- raw.264:I420; do
    movie="$movies/${name%%:*}" format=${name##*:}
    case "$name" in
      *.aif:*) pins=(--audio {}.wav) ;;
      *.264:* | raw_*) pins=(--format "$format" --video {}.raw) ;;
      *) pins=(--format "$format" --video {}.raw --audio {}.wav) ;;
    esac
    before=${#differs[@]}
    echo "== wine host: tidepool.exe convert, ${name%%:*} $format"
    convert_both "$out/own.${name//[:.]/_}" "$movie" "${pins[@]}" --times {}.times
    same_present "$out/own.${name//[:.]/_}" "${name%%:*} $format"
    if [ ${#differs[@]} -eq "$before" ]; then
      echo "wine host: ${name%%:*} $format: equal to Linux's"
    fi
  done
}
own_checks

# A movie in two languages with subtitles: the host chooses the second sound
# track through the source's IAMStreamSelect in Wine's graph manager, and
# the sound (the runtime's own 'ima4' decoder) and the cues equal Linux's;
# the second language really is what plays.
cat >"$movies/cues.srt" <<'CUES'
1
00:00:00,250 --> 00:00:01,000
Bonjour
tout le monde

2
00:00:01,200 --> 00:00:01,900
Au revoir
CUES
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x24:rate=10:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 -f lavfi -i sine=frequency=660:sample_rate=22050:duration=2 \
  -i "$movies/cues.srt" -map 0 -map 1 -map 2 -map 3 -c:v qtrle -c:a adpcm_ima_qt -c:s mov_text \
  -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -metadata:s:s:0 language=fra "$movies/languages.mov"
echo "== wine host: tidepool.exe convert --audio-stream 1 --subtitles, languages.mov"
before=${#differs[@]}
convert_both "$out/languages" "$movies/languages.mov" --audio {}.wav --audio-stream 1 --subtitles {}.srt \
  --times {}.times
same_present "$out/languages" "languages.mov, second sound track"
cmp -s "$out/languages.linux.srt" "$out/languages.wine.srt" || differs+=("languages.mov: the subtitles")
[ -s "$out/languages.wine.srt" ] || differs+=("languages.mov: no subtitles under Wine")
ltool convert "$movies/languages.mov" --audio "$out/languages.first.wav" >/dev/null ||
  fail "tidepool convert languages.mov failed on Linux"
cmp -s "$out/languages.first.wav" "$out/languages.wine.wav" && differs+=("languages.mov: the first language plays")
if [ ${#differs[@]} -eq "$before" ]; then
  echo "wine host: languages.mov: the second language and the subtitles equal Linux's"
fi

# File types the Windows runtime has no reader for without FFmpeg: no pin,
# exit 1, and the runtime's debug output names the format.
if [ "$decoders" = system ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=720x576:rate=25:duration=0.2 -c:v dvvideo -pix_fmt yuv420p \
    -f dv "$movies/refused.dv"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=352x288:rate=25:duration=0.2 -pix_fmt yuv420p -f rawvideo \
    "$movies/refused.cif"
  for pair in "refused.dv:DV (.dv .dif)" "refused.cif:raw CIF pictures (.cif)"; do
    movie="$movies/${pair%%:*}" kind=${pair##*:}
    echo "== wine host: tidepool.exe info, ${pair%%:*} (no reader in the Windows runtime)"
    set +e
    WINEDEBUG=+debugstr timeout --kill-after=10 120 wine "$(winpath "$tool")" info "$(winpath "$movie")" \
      >"$out/refused.out" 2>"$out/refused.err"
    status=$?
    set -e
    if [ $status -eq 1 ] && grep -qF "no reader for $kind files" "$out/refused.err"; then
      echo "wine host: ${pair%%:*}: refused, exit 1, the reason names the format"
    else
      differs+=("${pair%%:*}: status $status, no reason naming $kind ($(tr -d '\r' <"$out/refused.err" | tail -n 3))")
    fi
  done
fi

# H.264 (B-frames) + AAC: the system's decoders against FFmpeg's, so close
# rather than equal; then the seeks, and a start compared the same way.
h264=${TP_WINE_H264:-auto}
if [ "$h264" != 0 ]; then
  echo "== wine host: tidepool.exe convert, h264_aac.mp4"
  movie="$movies/h264_aac.mp4" w="$out/h264.wine" l="$out/h264.linux"
  frame=$((160 * 120 * 3 / 2))
  mapfile -d '' -t wa < <(wargs convert "$movie" --format I420 --video "$w.raw" --audio "$w.wav" --times "$w.times")
  set +e
  wtool "${wa[@]}" >/dev/null 2>"$out/h264.err"
  status=$?
  set -e
  if [ "$h264" = auto ] && { [ $status -ne 0 ] || [ ! -s "$w.raw" ]; }; then
    echo "wine host: the Windows runtime does not decode H.264 + AAC here; comparison skipped"
  else
    [ $status -eq 0 ] || fail "tidepool.exe convert h264_aac.mp4: $(tr -d '\r' <"$out/h264.err")"
    ltool convert "$movie" --format I420 --video "$l.raw" --audio "$l.wav" --times "$l.times" >/dev/null ||
      fail "tidepool convert h264_aac.mp4 failed on Linux"
    if python3 scripts/compare_convert.py close "$l" "$w" --frame-bytes $frame; then
      echo "wine host: h264_aac.mp4: same frames and times, pictures, sound correlation and level within bounds"
    else
      differs+=("h264_aac.mp4: Wine's output is not close to Linux's")
    fi
    seek_checks h264 "$movie" I420 1.3
    python3 scripts/compare_convert.py close "$out/h264.start.linux" "$out/h264.start.wine" --frame-bytes $frame ||
      differs+=("h264_aac.mp4 --start 1.3: Wine's output is not close to Linux's")
    # The same with open GOPs (a seek lands on an intra picture whose
    # leading B-frames refer to the GOP before).
    movie="$movies/h264_open.mp4"
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=3 \
      -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 \
      -c:v libx264 -bf 3 -g 12 -x264-params open-gop=1 -pix_fmt yuv420p -c:a aac -shortest "$movie"
    seek_checks h264_open "$movie" I420 1.3
    python3 scripts/compare_convert.py close "$out/h264_open.start.linux" "$out/h264_open.start.wine" \
      --frame-bytes $frame || differs+=("h264_open.mp4 --start 1.3: Wine's output is not close to Linux's")
  fi
fi
# The system's image and legacy decoders against FFmpeg's: 'jpeg' at an odd
# size through the imaging component, with AAC 5.1 folded down to stereo;
# 'mjpa', with PCM and with 22.05 kHz MP3; Cinepak through the Video for
# Windows decompressor. Close, not
# equal: every picture at 40 dB or better, the sound correlating.
echo "== wine host: the system's JPEG and Cinepak decoders, AAC 5.1"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=321x241:rate=10:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
  -filter_complex "[1]asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]join=inputs=6:channel_layout=5.1[s]" \
  -map 0:v -map "[s]" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a aac "$movies/jpeg_aac51.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=321x241:rate=10:duration=2 \
  -f lavfi -i sine=frequency=660:sample_rate=44100:duration=2 \
  -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -tag:v mjpa -c:a pcm_s16le "$movies/mjpa_sowt.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=10:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 \
  -c:v cinepak -c:a pcm_s16be "$movies/cvid_twos.mov"
# MP3 of MPEG-2 (22.05 kHz, 576 samples a frame) through the MP3 DMO, whose
# output comes in whole 1152-sample reads: frames go to it in pairs, and an
# odd last frame is completed with a silent one.
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=321x241:rate=10:duration=2 \
  -f lavfi -i "aevalsrc=sin(440*2*PI*t)|sin(660*2*PI*t):s=22050:d=2" \
  -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -tag:v mjpa -c:a libmp3lame "$movies/mjpa_mp3_22k.mov"
# H.264 in full range (as JPEG) and in grey: the system's decoder hands
# out the samples as decoded, and they are drawn at video range as Linux
# draws them (they were 28 dB off before).
for pix in yuvj420p gray; do
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 \
    -c:v libx264 -bf 2 -pix_fmt $pix -c:a pcm_s16le "$movies/h264_$pix.mov"
done
for entry in jpeg_aac51.mov:$((322 * 242 * 3 / 2)) mjpa_sowt.mov:$((322 * 242 * 3 / 2)) cvid_twos.mov:$((320 * 240 * 3 / 2)) \
  mjpa_mp3_22k.mov:$((322 * 242 * 3 / 2)) h264_yuvj420p.mov:$((160 * 120 * 3 / 2)) h264_gray.mov:$((160 * 120 * 3 / 2)); do
  name=${entry%%:*} frame=${entry##*:}
  convert_both "$out/$name" "$movies/$name" --format I420 --video {}.raw --audio {}.wav --times {}.times
  if python3 scripts/compare_convert.py close "$out/$name.linux" "$out/$name.wine" --frame-bytes "$frame"; then
    echo "wine host: $name: same frames and times, every picture at 40 dB or better, the sound close"
  else
    differs+=("$name: Wine's output is not close to Linux's")
  fi
done

# A track with no decoder on this system (Wine has no HEVC or AV1 decoder)
# gets no pin: info names the codec, convert of that stream exits 1 and
# writes nothing, the other stream still converts; a movie with no track
# left does not open.
# (the system decoders alone: with FFmpeg, scripts/wine_ffmpeg_checks.sh).
if [ "$decoders" = system ]; then
  echo "== wine host: movies whose tracks nothing decodes here (HEVC, AV1, MPEG-4 part 2, H.263, DV, ProRes, ALAC, Opus)"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 \
    -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 \
    -c:v libx265 -x265-params log-level=error -tag:v hvc1 -c:a pcm_s16le "$movies/hevc_sowt.mov"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 \
    -c:v libaom-av1 -cpu-used 8 "$movies/av1.mp4"
  # Usage: refused STATUS TEXT ARGS...: tidepool.exe ARGS exits STATUS and its
  # output (standard output and error) holds TEXT.
  refused() {
    local want=$1 text=$2 status=0
    shift 2
    mapfile -d '' -t wa < <(wargs "$@")
    wtool "${wa[@]}" >"$out/refused.out" 2>&1 || status=$?
    if [ $status -ne "$want" ] || { [ -n "$text" ] && ! tr -d '\r' <"$out/refused.out" | grep -qF "$text"; }; then
      differs+=("tidepool.exe $* (status $status): $(tr -d '\r' <"$out/refused.out" | head -n 3)")
    fi
  }
  before=${#differs[@]}
  rm -f "$out/refused.y4m" "$out/refused.wav"
  refused 0 "no pin: no decoder for the video codec 'hvc1'" info "$movies/hevc_sowt.mov"
  refused 1 "no decoder for the video codec 'hvc1'" convert "$movies/hevc_sowt.mov" --video "$out/refused.y4m"
  refused 0 "" convert "$movies/hevc_sowt.mov" --audio "$out/refused.wav"
  refused 1 "no decoder for the video codec 'av01'" info "$movies/av1.mp4"
  refused 1 "no decoder for the video codec 'av01'" convert "$movies/av1.mp4" --video "$out/refused.y4m"
  # What Wine 8 has no decoder for: MPEG-4 part 2, H.263, DV, ProRes, ALAC
  # and Opus. Each movie holds only that track, so it does not open at all.
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v mpeg4 "$movies/mp4v.mp4"
  # With B-pictures: the forward pass's transform, which Wine lacks as well.
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v mpeg4 -bf 2 \
    "$movies/mp4v_bframes.mp4"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=176x144:rate=10:duration=1 -c:v h263 "$movies/h263.mov"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=720x480:rate=30000/1001:duration=0.5 -pix_fmt yuv411p \
    -c:v dvvideo "$movies/dv.mov"
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v prores "$movies/prores.mov"
  ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:a alac "$movies/alac.m4a"
  # At 96 kHz the MP4 description holds no rate: refused all the same, not a
  # pin offering PCM at 0 Hz.
  ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=96000:duration=0.5 -c:a alac "$movies/alac96.m4a"
  ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a libopus "$movies/opus.mp4"
  for entry in mp4v.mp4:"video codec 'mp4v'" mp4v_bframes.mp4:"video codec 'mp4v'" h263.mov:"video codec 'h263'" dv.mov:"video codec 'dvc '" \
    prores.mov:"video codec 'ap4h'" alac.m4a:"sound format 'alac'" alac96.m4a:"sound format 'alac'" \
    opus.mp4:"sound format 'Opus'"; do
    name=${entry%%:*} codec=${entry#*:}
    refused 1 "no decoder for the $codec" info "$movies/$name"
    case $codec in
      video*) refused 1 "no decoder for the $codec" convert "$movies/$name" --video "$out/refused.y4m" ;;
      *) refused 1 "no decoder for the $codec" convert "$movies/$name" --audio "$out/refused-sound.wav" ;;
    esac
  done
  [ ! -s "$out/refused.y4m" ] || differs+=("a refused video track still wrote $out/refused.y4m")
  [ ! -s "$out/refused-sound.wav" ] || differs+=("a refused sound track still wrote $out/refused-sound.wav")
  [ "$(stat -c %s "$out/refused.wav" 2>/dev/null || echo 0)" -gt 16044 ] ||
    differs+=("the sound of hevc_sowt.mov did not convert beside its refused video")
  if [ ${#differs[@]} -eq "$before" ]; then
    echo "wine host: HEVC, AV1, MPEG-4 part 2, H.263, DV, ProRes, ALAC and Opus are refused at load, named by info and convert; the sound beside HEVC converts"
  fi
fi
# H.264 pictures at HD and odd sizes, in I420 and RGB32 (and YUY2 at two
# sizes): the same frames and times as Linux; I420 byte for byte at every
# size, YUY2 (our chroma filter against libswscale's) byte for byte, RGB32
# (our conversion against libswscale) at 40 dB or better, at widths off a
# multiple of 16 too. The runtime hands the system decoder parameter sets
# that say BT.601, so Wine's decoder, which would otherwise turn HD and
# BT.709 pictures to BT.601 inside its own pipeline, passes them through.
# One movie says BT.709 outright.
if [ "$h264" != 0 ] && [ -s "$out/h264.wine.raw" ]; then
  for size in 1920x1080 1366x768 1280x720 642x362; do
    movie="$movies/h264_$size.mp4"
    colour=()
    [ "$size" = 1280x720 ] && colour=(-colorspace bt709 -color_primaries bt709 -color_trc bt709)
    ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=$size:rate=25:duration=0.4 \
      -c:v libx264 -bf 2 -g 5 -pix_fmt yuv420p "${colour[@]}" "$movie"
    width=${size%x*} height=${size#*x}
    formats=(I420 RGB32)
    case $size in 1920x1080 | 642x362) formats+=(YUY2) ;; esac
    for format in "${formats[@]}"; do
      echo "== wine host: tidepool.exe convert, h264_$size.mp4 $format"
      base="$out/h264_$size.$format"
      convert_both "$base" "$movie" --format "$format" --video {}.raw --times {}.times
      same_times "$base.linux.times" "$base.wine.times" || differs+=("h264_$size.mp4 $format: the sample times")
      pix=yuv420p
      [ "$format" = RGB32 ] && pix=bgr0
      [ "$format" = YUY2 ] && pix=yuyv422
      # The pins' frames are of even size.
      figure=$(ffmpeg -nostdin -v error -f rawvideo -pix_fmt $pix -s $(((width + 1) / 2 * 2))x$(((height + 1) / 2 * 2)) \
        -i "$base.linux.raw" -f rawvideo -pix_fmt $pix -s $(((width + 1) / 2 * 2))x$(((height + 1) / 2 * 2)) \
        -i "$base.wine.raw" -lavfi "psnr=stats_file=-" -f null - |
        python3 -c 'import re,sys; v=[float(x) for x in re.findall(r"psnr_avg:(\S+)", sys.stdin.read().replace("inf","1e9"))]; print(("inf" if min(v) >= 1e9 else min(v)) if v else 0)')
      floor=40
      if [ "$format" != RGB32 ]; then
        cmp -s "$base.linux.raw" "$base.wine.raw" || differs+=("h264_$size.mp4 $format: not byte for byte Linux's")
      fi
      echo "wine host: h264_$size.mp4 $format: worst frame $figure dB against Linux (floor $floor)"
      python3 -c "import sys; sys.exit(0 if float('$figure') >= $floor else 1)" ||
        differs+=("h264_$size.mp4 $format: worst frame $figure dB, below $floor")
    done
  done
fi
# Which decoders the runtime took, as its debug output says.
want="FFmpeg's libraries are not usable"
[ "$decoders" = ffmpeg ] && want="loaded from the runtime's folder"
WINEDEBUG=+debugstr timeout --kill-after=10 120 wine "$(winpath "$tool")" info "$(winpath "$movies/h264_aac.mp4")" \
  >/dev/null 2>"$out/which.err" || true
if grep -qF "$want" "$out/which.err"; then
  echo "wine host: the runtime says: $(grep -oF "$want" "$out/which.err" | head -n 1)"
else
  differs+=("the runtime's debug output lacks \"$want\"")
fi
# FFmpeg's decoders: every codec and file type byte for byte Linux's.
if [ "$decoders" = ffmpeg ]; then
  # shellcheck source=wine_ffmpeg_checks.sh
  source scripts/wine_ffmpeg_checks.sh
fi
if [ ${#differs[@]} -gt 0 ]; then
  printf 'wine host: differs: %s\n' "${differs[@]}"
  fail "Wine's tidepool.exe does not match the Linux build"
fi
echo "wine host: passed"
