#!/usr/bin/env bash
# Runs the Windows build under Wine: a fresh headless prefix, regsvr32 of
# Tidepool.ax, then tp_wine_smoke (creation by class id through the registry
# regsvr32 wrote, Load, the system's own filter graph manager) on an
# uncompressed RGB + PCM movie made here by ffmpeg. Every Wine step runs under
# a watchdog. Installs wine when it is missing (Debian packages).
# Usage: scripts/wine_check.sh [build/windows]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/windows}")
module="$build/bin/Tidepool.ax"
smoke="$build/bin/tp_wine_smoke.exe"
for f in "$module" "$smoke"; do
  [ -f "$f" ] || { echo "wine: $f was not built"; exit 1; }
done

# Without its preloader (only recommended by the Debian package, so left
# out by --no-install-recommends), wine64 leaves the low addresses Windows
# needs to the kernel's random layout, and rarely (once in some two thousand
# starts here) Wine fails at once ("failed to map the shared user data",
# exit 1) before the program runs.
if ! command -v wine >/dev/null || { [ -x /usr/lib/wine/wine64 ] && [ ! -e /usr/lib/wine/wine64-preloader ]; }; then
  echo "wine: installing wine and its preloader"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine wine64 wine64-preloader
fi

# shellcheck source=wine_prefix.sh
source scripts/wine_prefix.sh
wine_prefix_setup "wine" "$module"
step 60 "class registered" sh -c \
  "wine reg query 'HKCR\\CLSID\\{8E1D106D-D80C-4AB5-965B-193E135630C2}\\InprocServer32' | grep -qi 'Tidepool.ax'"

movie="$scratch/rgb_pcm.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 \
  -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16le "$movie"
# No movie runtime is installed in this prefix (scripts/wine_runtime_check.sh
# installs one), so Load fails, saying so, and makes no pin.
step 120 "smoke" wine "$(winpath "$smoke")" "$(winpath "$movie")" 0

# The system's decoders (Media Foundation and DMOs; Wine's come from
# GStreamer's libav and bad plugins) on H.264 with B-frames with AAC (open
# GOPs) and with MP3 (closed), against ffmpeg; tp_mf_decode also seeks.
mfdecode="$build/bin/tp_mf_decode.exe"
[ -f "$mfdecode" ] || { echo "wine: $mfdecode was not built"; exit 1; }
for audio in aac libmp3lame; do
  movie="$scratch/h264_$audio.mp4"
  gops=(-g 25)
  [ "$audio" = aac ] && gops+=(-x264-params open-gop=1)
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 \
    -c:v libx264 -bf 2 "${gops[@]}" -pix_fmt yuv420p -c:a "$audio" -ac 2 "$movie"
  mkdir "$scratch/mf_$audio"
  step 120 "system decoders, H.264 + $audio" wine "$(winpath "$mfdecode")" "$(winpath "$movie")" \
    "$(winpath "$scratch/mf_$audio")"
  step 60 "system decoders against ffmpeg, H.264 + $audio" python3 tests/windows/mf_compare.py "$movie" \
    "$scratch/mf_$audio"
done
# One forward pass over long GOPs (3 B-frames, open), the deferred way
# only: the synchronous way replays from each IDR, too slow to wait for.
movie="$scratch/h264_gop250.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=12 \
  -c:v libx264 -bf 3 -g 250 -x264-params open-gop=1 -pix_fmt yuv420p "$movie"
mkdir "$scratch/mf_gop250"
step 120 "system decoder, one forward pass over 250-frame GOPs" wine "$(winpath "$mfdecode")" "$(winpath "$movie")" \
  "$(winpath "$scratch/mf_gop250")" --deferred-only
step 60 "system decoder against ffmpeg, 250-frame GOPs" python3 tests/windows/mf_compare.py "$movie" \
  "$scratch/mf_gop250"
echo "wine: passed"
