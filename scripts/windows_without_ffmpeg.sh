#!/usr/bin/env bash
# Makes a copy of a Windows build whose runtime has no FFmpeg beside it, so
# that the Wine stages can run on the system's decoders alone. The libraries
# are kept aside in ffmpeg-elsewhere/, which scripts/wine_host_check.sh puts
# into the Wine prefix's system folder, first on every search path: the
# runtime must still not take them from there.
# Usage: scripts/windows_without_ffmpeg.sh [build/windows [build/windows-system]]
set -euo pipefail
cd "$(dirname "$0")/.."
from=$(realpath "${1:-build/windows}")
to="${2:-build/windows-system}"
[ -f "$from/QuickTime/QuickTime.qts" ] || { echo "without ffmpeg: $from has no runtime"; exit 1; }
rm -rf "$to"
mkdir -p "$to"
cp -a "$from/bin" "$from/QuickTime" "$to/"
moved=0
for dll in "$to"/QuickTime/{avutil,avcodec,avformat,swscale,swresample}-*.dll; do
  [ -f "$dll" ] || continue
  mkdir -p "$to/ffmpeg-elsewhere"
  mv "$dll" "$to/ffmpeg-elsewhere/"
  moved=$((moved + 1))
done
echo "without ffmpeg: $to (FFmpeg's $moved libraries moved from the runtime's folder into ffmpeg-elsewhere/)"
