#!/usr/bin/env bash
# The Windows runtime under Wine: a fresh headless prefix, regsvr32 of
# Tidepool.ax, the Windows "QuickTime.qts" installed by its registry values
# ("QTSysDir" and "QuickTime.qts folder" under HKLM\SOFTWARE\Apple Computer,
# Inc.\QuickTime, as tools/qtinstall writes them), then tp_wine_grab plays
# uncompressed movies through Tidepool in Wine's own graph in each of the
# seven video subtypes, with the audio pin streaming too. What the pins
# deliver must be byte for byte what the Linux build's `tidepool extract`
# gives for the same movie; an H.264 + AAC movie, which this runtime may
# not decode on Windows, still plays to its end. Every Wine step runs under a
# watchdog.
# Usage: scripts/wine_runtime_check.sh [build/windows] [build/default]
set -euo pipefail
cd "$(dirname "$0")/.."
win=$(realpath "${1:-build/windows}")
lin=$(realpath "${2:-build/default}")
module="$win/bin/Tidepool.ax"
runtime="$win/QuickTime/QuickTime.qts"
grab="$win/bin/tp_wine_grab.exe"
for f in "$module" "$runtime" "$grab" "$lin/bin/tidepool" "$lin/bin/regsvr32" "$lin/bin/Tidepool.ax" \
  "$lin/QuickTime/QuickTime.qts"; do
  [ -f "$f" ] || { echo "wine runtime: $f was not built"; exit 1; }
done
command -v wine >/dev/null || { echo "wine runtime: wine is not installed (scripts/wine_check.sh installs it)"; exit 1; }

# shellcheck source=wine_prefix.sh
source scripts/wine_prefix.sh
wine_prefix_setup "wine runtime" "$module"
qtdir="$(winpath "$(dirname "$runtime")")\\"
key='HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime'
step 60 "install the runtime" sh -c "wine reg add '$key' /v QTSysDir /d '$qtdir' /f >/dev/null &&
  wine reg add '$key' /v 'QuickTime.qts folder' /d '$qtdir' /f >/dev/null"

# The Linux side: its own registry file, module and runtime.
export TP_REGISTRY_FILE="$scratch/registry.reg"
"$lin/bin/regsvr32" /s "$lin/bin/Tidepool.ax"
[ ! -x "$lin/bin/qtinstall" ] || "$lin/bin/qtinstall" >/dev/null

subtypes="YV12 YUY2 I420 RGB32 RGB24 RGB555 RGB565"
# name | ffmpeg output options: uncompressed RGB with big-endian PCM ('raw '
# 24-bit, 'twos', mono: the pin's stereo is mixed), '2vuy' with little-endian
# stereo PCM ('sowt'), and 32-bit ARGB at an odd size (last column and row,
# padded rows) with 24-bit PCM ('in24'); and '2vuy' at an odd size whose
# track matrix turns it a quarter turn (the frames come out turned, at the
# swapped size).
movies=(
  "rgb24_twos|-s 66x50 -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16be"
  "2vuy_sowt|-s 64x48 -c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le -ac 2"
  "argb_in24|-s 35x21 -c:v rawvideo -pix_fmt argb -c:a pcm_s24be -ac 1"
  "2vuy_turned|-s 35x21 -c:v rawvideo -pix_fmt uyvy422 -c:a pcm_s16le -ac 2"
)
status=0
for entry in "${movies[@]}"; do
  name=${entry%%|*}
  opts=${entry#*|}
  movie="$scratch/$name.mov"
  # shellcheck disable=SC2086
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=128x96:rate=10:duration=1 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 $opts "$movie"
  if [[ $name == *_turned ]]; then
    # ffmpeg writes the matrix of the "rotate" tag when it copies the stream.
    ffmpeg -nostdin -v error -y -i "$movie" -c copy -metadata:s:v:0 rotate=90 "$scratch/$name.copy.mov"
    mv "$scratch/$name.copy.mov" "$movie"
  fi
  out="$scratch/$name.win"
  mkdir -p "$out"
  # shellcheck disable=SC2086
  step 120 "$name in Wine's graph" wine "$(winpath "$grab")" "$(winpath "$movie")" "$(winpath "$out")" $subtypes
  ref="$scratch/$name.linux"
  "$lin/bin/tidepool" extract "$movie" --audio --out "$ref/audio" >/dev/null
  # The PCM of the WAV's data chunk.
  python3 - "$ref/audio/audio.wav" "$ref/audio.pcm" <<'EOF'
import struct, sys
d = open(sys.argv[1], 'rb').read()
at = 12
while at + 8 <= len(d):
    kind, size = d[at:at + 4], struct.unpack('<I', d[at + 4:at + 8])[0]
    if kind == b'data':
        open(sys.argv[2], 'wb').write(d[at + 8:at + 8 + size])
        break
    at += 8 + size + (size & 1)
EOF
  if cmp -s "$ref/audio.pcm" "$out/audio.pcm"; then
    echo "$name audio: equal ($(stat -c %s "$out/audio.pcm") bytes)"
  else
    echo "$name audio: DIFFERS (Linux $(stat -c %s "$ref/audio.pcm") bytes, Wine $(stat -c %s "$out/audio.pcm"))"
    status=1
  fi
  for s in $subtypes; do
    "$lin/bin/tidepool" extract "$movie" --video "$s" --out "$ref/$s" >/dev/null
    if cmp -s "$ref/$s/video.raw" "$out/video-$s.raw"; then
      echo "$name $s: equal ($(stat -c %s "$out/video-$s.raw") bytes)"
    else
      echo "$name $s: DIFFERS (Linux $(stat -c %s "$ref/$s/video.raw") bytes, Wine $(stat -c %s "$out/video-$s.raw"))"
      status=1
    fi
  done
done
# A compressed movie plays to its end too: while the runtime has no decoder
# for H.264 and AAC on this system its tracks end at once, cleanly.
movie="$scratch/h264_aac.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=128x96:rate=10:duration=1 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -c:v libx264 -c:a aac "$movie"
mkdir -p "$scratch/h264_aac.win"
step 120 "h264_aac in Wine's graph" wine "$(winpath "$grab")" --may-be-empty "$(winpath "$movie")" \
  "$(winpath "$scratch/h264_aac.win")" YV12

[ $status -eq 0 ] && echo "wine runtime: passed" || echo "wine runtime: FAILED"
exit $status
