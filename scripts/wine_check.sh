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

if ! command -v wine >/dev/null; then
  echo "wine: installing wine"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends wine wine64
fi

scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# winepath -w would need the prefix; Z: maps the root in every fresh prefix.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
step() {
  local limit=$1 name=$2
  shift 2
  echo "== wine: $name"
  if ! timeout --kill-after=10 "$limit" "$@"; then
    echo "wine: $name failed or timed out"
    exit 1
  fi
}

step 120 "fresh prefix" sh -c 'wineboot -i >/dev/null 2>&1 && wineserver -w'
step 60 "no sound card" wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "" /f
step 60 "regsvr32 Tidepool.ax" wine regsvr32 /s "$(winpath "$module")"
step 60 "class registered" sh -c \
  "wine reg query 'HKCR\\CLSID\\{8E1D106D-D80C-4AB5-965B-193E135630C2}\\InprocServer32' | grep -qi 'Tidepool.ax'"

movie="$scratch/rgb_pcm.mov"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 \
  -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 \
  -c:v rawvideo -pix_fmt rgb24 -c:a pcm_s16le "$movie"
# No movie runtime is installed in this prefix (scripts/wine_runtime_check.sh
# installs one), so the movie loads without pins.
step 120 "smoke" wine "$(winpath "$smoke")" "$(winpath "$movie")" 0
echo "wine: passed"
