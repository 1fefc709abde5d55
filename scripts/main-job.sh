#!/usr/bin/env bash
# The main job for a new user: set up, build, register Tidepool.ax with
# regsvr32 and name the runtime this build made, then show what the filter offers for a movie, convert it and make
# a contact sheet of its frames.
#
#   scripts/main-job.sh [MOVIE]
#
# With no MOVIE, a 10 s H.264 + AAC movie is made with the ffmpeg command
# line. Outputs land in build/main-job/.
set -euo pipefail
cd "$(dirname "$0")/.."
movie="${1:-}"
out=build/main-job
bin=build/default/bin

scripts/setup.sh
cmake --preset default
cmake --build --preset default --target tidepool tidepool_module regsvr32 qtinstall tp_quicktime quilltrace
mkdir -p "$out"
if [ -z "$movie" ]; then
  movie="$out/sample.mov"
  if [ ! -f "$movie" ]; then
    ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=25:duration=10 \
      -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 \
      -c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac -shortest -y "$movie"
  fi
fi

"$bin/regsvr32" "$PWD/$bin/Tidepool.ax"
# The runtime of this build, even where an older install named another one.
"$bin/qtinstall" "$PWD/build/default/QuickTime"
"$bin/tidepool" info "$movie"
"$bin/tidepool" info --json "$movie" > "$out/info.json"
"$bin/tidepool" convert "$movie" --video "$out/video.y4m" --format I420 --audio "$out/audio.wav" \
  --times "$out/times.txt"
"$bin/tidepool" thumbs "$movie" -o "$out/thumbs.png" --count 12 --columns 4 --width 320
echo
echo "main job done; outputs in $PWD/$out/:"
echo "  info.json   the pins, their media types and durations"
echo "  video.y4m   the video as I420 frames (play with: ffplay $out/video.y4m)"
echo "  audio.wav   the sound as PCM"
echo "  times.txt   one line per delivered sample: pin start stop sync discontinuity"
echo "  thumbs.png  a contact sheet of 12 frames at evenly spaced times"
