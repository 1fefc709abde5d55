#!/usr/bin/env bash
# Cross-builds FFmpeg's decoding libraries for the Windows runtime from
# Debian's source package (the release of the Linux libraries, so both
# systems decode with the same code), with libdav1d (AV1, as Debian's
# libavcodec decodes it) built from its own source package and linked in
# statically, and prints the folder that holds the result: bin/ (the DLLs,
# named with the "-tidepool" suffix), lib/ (import libraries and export
# lists), include/, and share/licenses (the licences and the configure line).
#
#   scripts/win_ffmpeg.sh [ARCH]     ARCH: x86_64 (default) or i686
#
# The build is cached outside the clone, in
# $TP_FFMPEG_CACHE (default /var/cache/tidepool)/ffmpeg-<version>-<hash>-<arch>,
# the hash taken over the configure line, the compiler's and the
# assembler's versions, libdav1d's version and the recipe's number: an unchanged source and
# configuration is never built twice, and a machine without the cache
# builds it by itself. Everything but the final path goes to stderr.
set -euo pipefail
arch="${1:-x86_64}"
case "$arch" in
  x86_64 | i686) ;;
  *)
    echo "win_ffmpeg: unknown architecture '$arch' (x86_64 or i686)" >&2
    exit 2
    ;;
esac
here="$(cd "$(dirname "$0")" && pwd)"
cache="${TP_FFMPEG_CACHE:-/var/cache/tidepool}"
host="$arch-w64-mingw32"
suffix="-tidepool"
log() { echo "win_ffmpeg: $*" >&2; }

# What the runtime uses of FFmpeg: the decoders of every codec the movie
# formats carry, every parser (the demuxers and the sound decoder lean on
# them as on Linux), the demuxers of the index-less file types,
# the file protocol, libswscale and libswresample. No programs, network,
# devices, filters or encoders, and nothing under the GPL.
video_decoders=(h264 hevc mpeg4 h263 h263p h263i h261 dvvideo prores svq1 svq3 cinepak mjpeg mjpegb
  png rawvideo smc rpza 8bps qtrle flic msrle msvideo1 mpeg1video mpeg2video dnxhd v210 v210x v410 r210
  r10k qdraw tiff bmp gif targa sgi tscc vp8 vp9 zlib)
audio_decoders=(aac aac_latm mp1 mp1float mp2 mp2float mp3 mp3float alac flac opus amrnb amrwb qcelp evrc
  ac3 eac3 adpcm_ima_qt adpcm_ima_wav adpcm_ms gsm gsm_ms qdm2 qdmc mace3 mace6 pcm_alaw pcm_mulaw
  pcm_s8 pcm_u8 pcm_s16be pcm_s16le pcm_s24be pcm_s24le pcm_s32be pcm_s32le pcm_f32be pcm_f32le
  pcm_f64be pcm_f64le)
video_decoders+=(libdav1d)
demuxers=(h264 h261 h263 rawvideo amr aiff dv flic)
join() {
  local IFS=,
  echo "$*"
}
# Raise when the recipe below changes in a way the configure line does not show.
recipe=1

configure=(--enable-cross-compile --arch="$arch" --target-os=mingw32 --cross-prefix="$host-"
  --pkg-config=pkg-config --enable-shared --disable-static --build-suffix="$suffix"
  --disable-programs --disable-doc --disable-network --disable-avdevice --disable-avfilter --disable-postproc
  --disable-autodetect --disable-debug --disable-everything --enable-w32threads --enable-x86asm
  --enable-decoder="$(join "${video_decoders[@]}" "${audio_decoders[@]}")"
  --enable-parsers --enable-demuxer="$(join "${demuxers[@]}")"
  --enable-protocol=file --enable-bsfs --enable-swscale --enable-swresample --enable-libdav1d
  --pkg-config-flags=--static)

# The source: Debian's package of the release installed on this machine.
version="$(dpkg-query -W -f='${source:Version}' libavcodec-dev 2>/dev/null || true)"
[ -n "$version" ] || version="$(apt-cache show --no-all-versions ffmpeg | sed -n 's/^Version: //p' | head -1)"
upstream="${version#*:}"
upstream="${upstream%%-*}"
dav1d_version="$(apt-cache showsrc dav1d 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)"
tools="$("$host-gcc" --version | head -1); $(nasm -v); meson $(meson --version); dav1d $dav1d_version"
hash="$(printf '%s\n' "${configure[*]}" "$tools" "$recipe" | sha256sum | cut -c1-12)"
out="$cache/ffmpeg-$upstream-$hash-$arch"
if [ -f "$out/.complete" ]; then
  log "cached: $out"
  echo "$out"
  exit 0
fi

start=$(date +%s)
"$here/deb_src.sh" >&2
srcroot="$cache/src/ffmpeg-$upstream"
if [ ! -f "$srcroot/.unpacked" ]; then
  rm -rf "$srcroot"
  mkdir -p "$srcroot"
  log "fetching Debian's source of ffmpeg $version"
  (cd "$srcroot" && apt-get source -qq --download-only "ffmpeg=$version" >&2)
  (cd "$srcroot" && dpkg-source -x ./*.dsc src >&2)
  touch "$srcroot/.unpacked"
fi

work="$(mktemp -d "$cache/build-ffmpeg-$arch.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# libdav1d, static, into the build's own prefix.
[ -n "$dav1d_version" ] || { log "no source package of dav1d"; exit 1; }
dav1d_src="$cache/src/dav1d-${dav1d_version#*:}"
if [ ! -f "$dav1d_src/.unpacked" ]; then
  rm -rf "$dav1d_src"
  mkdir -p "$dav1d_src"
  log "fetching Debian's source of dav1d $dav1d_version"
  (cd "$dav1d_src" && apt-get source -qq --download-only "dav1d=$dav1d_version" >&2)
  (cd "$dav1d_src" && dpkg-source -x ./*.dsc src >&2)
  touch "$dav1d_src/.unpacked"
fi
cpu_family=$arch
[ "$arch" = i686 ] && cpu_family=x86
cat >"$work/cross.ini" <<CROSS
[binaries]
c = '$host-gcc'
ar = '$host-ar'
strip = '$host-strip'
nasm = 'nasm'
[host_machine]
system = 'windows'
cpu_family = '$cpu_family'
cpu = '$arch'
endian = 'little'
CROSS
log "building libdav1d $dav1d_version"
deps="$work/deps"
(meson setup "$work/dav1d" "$dav1d_src/src" --cross-file "$work/cross.ini" --prefix="$deps" --libdir=lib \
  --buildtype=release --default-library=static -Denable_tools=false -Denable_tests=false >"$work/dav1d.log" 2>&1 &&
  nice ninja -C "$work/dav1d" -j"${TP_FFMPEG_JOBS:-2}" install >>"$work/dav1d.log" 2>&1) || {
  tail -30 "$work/dav1d.log" >&2
  exit 1
}
export PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig"
log "configuring into $out"
(cd "$work" && "$srcroot/src/configure" --prefix="$out" "${configure[@]}" >configure.log 2>&1) || {
  tail -30 "$work/configure.log" >&2
  tail -30 "$work/ffbuild/config.log" >&2 || true
  exit 1
}
jobs="${TP_FFMPEG_JOBS:-2}"
log "building with $jobs jobs"
nice make -C "$work" -j"$jobs" >"$work/make.log" 2>&1 || {
  tail -40 "$work/make.log" >&2
  exit 1
}
make -C "$work" install DESTDIR="$work/stage" >/dev/null 2>&1
rm -rf "$out.partial"
mv "$work/stage$out" "$out.partial"
mkdir -p "$out.partial/share/licenses"
cp "$srcroot/src/COPYING.LGPLv2.1" "$out.partial/share/licenses/FFmpeg-COPYING.LGPLv2.1.txt"
cp "$dav1d_src/src/COPYING" "$out.partial/share/licenses/dav1d-COPYING.txt"
{
  echo "FFmpeg $version, built from Debian's source package for $host."
  echo "Licence: GNU Lesser General Public License 2.1 or later (COPYING.LGPLv2.1); no GPL parts are enabled."
  echo "Linked in statically: libdav1d $dav1d_version (BSD 2-clause, dav1d-COPYING.txt)."
  echo
  echo "configure --prefix=<cache> ${configure[*]}"
} >"$out.partial/share/licenses/FFmpeg-configure.txt"
if grep -q '^#define CONFIG_GPL 1' "$work/config.h"; then
  log "refusing a build with GPL parts"
  exit 1
fi
rm -rf "$out"
mv "$out.partial" "$out"
touch "$out/.complete"
log "built in $(($(date +%s) - start)) s: $out"
echo "$out"
