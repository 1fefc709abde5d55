#!/usr/bin/env bash
# The Windows installer under Wine, as a new user would meet it: a fresh
# prefix, `msiexec /i ... /qn`, then a movie played by the installed
# tidepool.exe the way players play (the system's graph manager, the source
# created by class id from the extension keys the install wrote, Render on
# each pin: Wine's own video and DirectSound renderers, under Xvfb, the
# sound recorded from a sound server's null sink). A screen grab taken while it plays
# must show the picture (a region against ffmpeg's frame) and the captured
# sound must correlate with ffmpeg's decode. Then `msiexec /x ... /qn` must
# leave neither a file in Program Files nor a registry entry of Tidepool.
# Last, with another runtime registered first, an install and uninstall
# must leave its QTSysDir as it was; and a newer package installed over an
# older one must replace it in place.
# Usage: scripts/wine_install_check.sh [build/windows]
#   The build's installer target must have been built.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TP_WINE_INSTALL_DISPLAY:-}" ]; then
  # Once, under an X server of its own.
  TP_WINE_INSTALL_DISPLAY=1 exec scripts/with_display.sh "$0" "$@"
fi
here=$(pwd)
build=$(realpath "${1:-build/windows}")
msi=$(ls "$build"/Tidepool-*-x64.msi 2>/dev/null | head -n 1 || true)
[ -n "$msi" ] || { echo "wine install: no installer in $build (build the installer target)"; exit 1; }
version=$(basename "$msi" | sed 's/^Tidepool-\(.*\)-x64\.msi$/\1/')
out="$build/wine-install"
rm -rf "$out"
mkdir -p "$out"

. scripts/wine_prefix.sh
wine_label="wine install"
scratch=$(mktemp -d)
trap wine_prefix_cleanup EXIT
export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all,err+virtual WINEDLLOVERRIDES="mscoree,mshtml="
# The sound goes to a sound server of our own whose only device is a null
# sink, paced in real time, and is recorded from that sink's monitor. (ALSA
# writing to a file is not paced: Wine then feeds it in bursts padded with
# silence and drops sound.)
export HOME="$scratch/home" PULSE_RUNTIME_PATH="$scratch/pulse"
export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
mkdir -p "$HOME" "$PULSE_RUNTIME_PATH"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-target=file:"$scratch/pulse.log" \
  -L "module-null-sink sink_name=capture rate=44100 channels=2" -L module-native-protocol-unix &
sound_server=$!
stop_sound_server() {
  kill "$sound_server" 2>/dev/null || true
  wait "$sound_server" 2>/dev/null || true
}
trap 'stop_sound_server; wine_prefix_cleanup' EXIT
for _ in $(seq 50); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.2
done
pactl info >/dev/null 2>&1 || { echo "wine install: the sound server did not start"; cat "$scratch/pulse.log"; exit 1; }

step 120 "fresh prefix" sh -c 'wineboot -i >/dev/null 2>&1 && wineserver -w'
step 60 "sound through the sound server" wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f
program="$WINEPREFIX/drive_c/Program Files/Tidepool"

# The movie: SMPTE bars with a magenta square marking the picture's corner,
# uncompressed (the runtime decodes it on any system), and pink noise (a
# window of it matches the reference in one place only).
movie="$scratch/bars.mov"
ffmpeg -nostdin -v error -y \
  -f lavfi -i "smptebars=size=320x240:rate=25:duration=6,drawbox=x=0:y=0:w=16:h=16:color=0xFF00FF:t=fill" \
  -f lavfi -i "anoisesrc=color=pink:seed=7:amplitude=0.4:sample_rate=44100:duration=6" -ac 2 \
  -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16be "$movie"
ffmpeg -nostdin -v error -y -i "$movie" -frames:v 1 -f rawvideo -pix_fmt rgb24 "$scratch/frame.rgb"
ffmpeg -nostdin -v error -y -i "$movie" -f s16le -ac 2 -ar 44100 "$scratch/reference.raw"

registry_mentions() {
  wineserver -w
  { grep -i -c -E "tidepool|8e1d106d-d80c-4ab5-965b-193e135630c2|Apple Computer" \
    "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" || true; } | awk -F: '{ n += $2 } END { print n + 0 }'
}
qtsysdir() {
  wine reg query 'HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime' /v QTSysDir 2>/dev/null | tr -d '\r' |
    awk '/QTSysDir/ { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}

[ "$(registry_mentions)" = 0 ] || { echo "wine install: the fresh prefix already mentions Tidepool"; exit 1; }
t0=$(date +%s)
step 300 "msiexec /i $(basename "$msi") /qn" wine msiexec /i "$(winpath "$msi")" /qn
echo "wine install: installed in $(( $(date +%s) - t0 )) s"
for f in bin/Tidepool.ax bin/quilltrace.dll bin/tidepool.exe QuickTime/QuickTime.qts README.md; do
  [ -f "$program/$f" ] || { echo "wine install: Program Files\\Tidepool\\$f is missing"; exit 1; }
done
# Everything the build's runtime folder held.
(cd "$build/QuickTime" && find . -type f) | while read -r f; do
  [ -f "$program/QuickTime/$f" ] || { echo "wine install: the runtime's $f was not installed"; exit 1; }
done
[ "$(qtsysdir)" = 'C:\Program Files\Tidepool\QuickTime\' ] ||
  { echo "wine install: QTSysDir is '$(qtsysdir)'"; exit 1; }
wine reg query 'HKCR\Media Type\Extensions\.mov' /v 'Source Filter' 2>/dev/null | tr -d '\r' |
  grep -qi '{8e1d106d-d80c-4ab5-965b-193e135630c2}' || { echo "wine install: .mov is not registered"; exit 1; }
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' >"$scratch/arp.txt"
grep -q "DisplayVersion.*$version" "$scratch/arp.txt" && grep -q "Publisher.*Tidepool" "$scratch/arp.txt" ||
  { echo "wine install: no Add/Remove Programs entry with the version and the publisher"; exit 1; }

# Play to the end, recording the sound and grabbing the screen while it plays.
parec -d capture.monitor --format=s16le --rate=44100 --channels=2 --raw >"$scratch/sound.raw" &
recorder=$!
# The window may come late on a busy machine: a grab every 1.5 s from 2 s on.
(
  sleep 2
  for n in 1 2 3 4 5; do
    ffmpeg -nostdin -v error -y -f x11grab -video_size 1280x1024 -i "$DISPLAY" -frames:v 1 \
      -f rawvideo -pix_fmt rgb24 "$scratch/shot$n.rgb"
    sleep 1.5
  done
) &
grabber=$!
step 180 "tidepool.exe play (installed, the system's renderers)" \
  sh -c "wine '$(winpath "$program/bin/tidepool.exe")' play '$(winpath "$movie")' >'$out/play.txt' 2>&1"
wait "$grabber" || { echo "wine install: the screen grab failed"; exit 1; }
kill "$recorder"
wait "$recorder" 2>/dev/null || true
cat "$out/play.txt"
grep -q "played 6.000 s of 6.000 s" "$out/play.txt" || { echo "wine install: the movie did not play to its end"; exit 1; }
grep -q "clock: the sound renderer" "$out/play.txt" || { echo "wine install: the graph's clock is not the sound's"; exit 1; }
# The movie's pictures are all alike: the first grab that shows one counts.
shown=""
for n in 1 2 3 4 5; do
  if python3 scripts/compare_capture.py picture "$scratch/shot$n.rgb" 1280 1024 "$scratch/frame.rgb" 320 240; then
    shown=$n
    break
  fi
done
[ -n "$shown" ] || { echo "wine install: no screen grab shows the picture"; exit 1; }
ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt rgb24 -video_size 1280x1024 -i "$scratch/shot$shown.rgb" "$out/play.png"
cp "$scratch/sound.raw" "$out/sound.raw"
cp "$scratch/reference.raw" "$out/reference.raw"
python3 scripts/compare_capture.py sound "$out/sound.raw" "$out/reference.raw"

# The player's keys, sent through its queue as the video window sends them.
step 180 "tidepool.exe play with keys" sh -c "wine '$(winpath "$program/bin/tidepool.exe")' play '$(winpath "$movie")' \
  --script 1:space,1.5:space,2:right,3:q >'$out/keys.txt' 2>&1"
cat "$out/keys.txt"
for line in "paused at" "resumed at" "seek from"; do
  grep -q "^$line" "$out/keys.txt" || { echo "wine install: no '$line' line from the keys"; exit 1; }
done

t0=$(date +%s)
step 300 "msiexec /x /qn" wine msiexec /x "$(winpath "$msi")" /qn
echo "wine install: uninstalled in $(( $(date +%s) - t0 )) s"
[ ! -e "$program" ] || { echo "wine install: Program Files\\Tidepool is still there:"; find "$program"; exit 1; }
n=$(registry_mentions)
if [ "$n" != 0 ]; then
  echo "wine install: the registry still mentions Tidepool ($n lines):"
  grep -i -n -E "tidepool|8e1d106d-d80c-4ab5-965b-193e135630c2|Apple Computer" "$WINEPREFIX/system.reg" \
    "$WINEPREFIX/user.reg" | head -20
  exit 1
fi

# A runtime registered before stays in use, and stays after the uninstall.
other='C:\Other\QuickTime\'
step 60 "another runtime" wine reg add 'HKLM\SOFTWARE\Apple Computer, Inc.\QuickTime' /v QTSysDir /d "$other" /f
step 300 "msiexec /i /qn over another runtime" wine msiexec /i "$(winpath "$msi")" /qn
[ "$(qtsysdir)" = "$other" ] || { echo "wine install: the install replaced QTSysDir with '$(qtsysdir)'"; exit 1; }
step 300 "msiexec /x /qn over another runtime" wine msiexec /x "$(winpath "$msi")" /qn
[ "$(qtsysdir)" = "$other" ] || { echo "wine install: the uninstall took QTSysDir '$other' away"; exit 1; }
step 60 "no other runtime" wine reg delete 'HKLM\SOFTWARE\Apple Computer, Inc.' /f

# Upgrading in place: a newer package over this one.
newer="$scratch/Tidepool-99.0.0-x64.msi"
scripts/make_installer.sh "$build" 99.0.0 "$newer" >/dev/null
step 300 "msiexec /i /qn (this version)" wine msiexec /i "$(winpath "$msi")" /qn
step 300 "msiexec /i /qn (a newer one over it)" wine msiexec /i "$(winpath "$newer")" /qn
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' >"$scratch/arp.txt"
[ "$(grep -c 'DisplayName.*Tidepool' "$scratch/arp.txt")" = 1 ] && grep -q 'DisplayVersion.*99\.0\.0' "$scratch/arp.txt" ||
  { echo "wine install: the upgrade did not replace the older entry"; exit 1; }
[ -f "$program/bin/Tidepool.ax" ] && [ "$(qtsysdir)" = 'C:\Program Files\Tidepool\QuickTime\' ] ||
  { echo "wine install: the upgrade lost files or QTSysDir"; exit 1; }
wine reg query 'HKCR\Media Type\Extensions\.mp4' /v 'Source Filter' >/dev/null 2>&1 ||
  { echo "wine install: the upgrade left the filter unregistered"; exit 1; }
step 300 "msiexec /x /qn (the newer one)" wine msiexec /x "$(winpath "$newer")" /qn
[ ! -e "$program" ] && [ "$(registry_mentions)" = 0 ] || { echo "wine install: the newer one left something behind"; exit 1; }
echo "wine install: installed, played through the system's renderers (screen grab $out/play.png), uninstalled clean"
