#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages. Idempotent:
# when everything is present it only checks and returns.
set -euo pipefail
packages=(
  g++ clang cmake ninja-build pkg-config python3 git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  mingw-w64 g++-mingw-w64-x86-64 nasm make dpkg-dev xz-utils meson
  clang-format libclang-rt-14-dev ccache
  libcli11-dev nlohmann-json3-dev
  libsdl2-dev xvfb xauth
  wixl msitools pulseaudio pulseaudio-utils
  gstreamer1.0-libav gstreamer1.0-plugins-bad gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all dependencies present"
