# Sourced by scripts/wine_host_check.sh when FFmpeg's libraries sit beside
# the Windows runtime: every codec and file type that the Linux build
# decodes, converted by tidepool.exe under Wine and by the Linux tidepool,
# byte for byte (video, sound and sample times) and with the same exit code.
# Then SystemDecodersFirst: the system's JPEG decoder takes 'jpeg' again
# (close to Linux, no longer equal) while HEVC, which the system lacks,
# still decodes through FFmpeg. Uses the host check's movies, out, differs,
# convert_both, same_present, wtool and fail.

# NAME ARGS...: a movie made by the ffmpeg command line.
make_movie() {
  local name=$1
  shift
  [ -s "$movies/$name" ] || ffmpeg -nostdin -v error -y "$@" "$movies/$name" || fail "ffmpeg could not make $name"
}
video() { echo "-f lavfi -i testsrc=size=$1:rate=${2:-10}:duration=${3:-1}"; }
tone() { echo "-f lavfi -i sine=frequency=440:sample_rate=$1:duration=${2:-1}"; }
# shellcheck disable=SC2046 # the helpers print several arguments
{
  make_movie ff_hevc.mov $(video 64x48) $(tone 8000) -c:v libx265 -x265-params log-level=error -tag:v hvc1 -c:a pcm_s16le
  make_movie ff_hevc10.mp4 $(video 96x64) -c:v libx265 -x265-params log-level=error -pix_fmt yuv420p10le -tag:v hvc1
  make_movie ff_hevc_turned.mp4 $(video 96x64) -c:v libx265 -x265-params log-level=error -tag:v hvc1 \
    -metadata:s:v:0 rotate=90
  make_movie ff_av1.mp4 $(video 64x48) $(tone 48000) -c:v libaom-av1 -cpu-used 8 -c:a libopus
  make_movie ff_mp4v.mp4 $(video 160x120) $(tone 44100) -c:v mpeg4 -c:a aac
  make_movie ff_mp4v_bframes.mp4 $(video 160x120) -c:v mpeg4 -bf 2
  make_movie ff_h263.mov $(video 176x144) -c:v h263
  make_movie ff_dv.mov $(video 720x480 30000/1001 0.5) -pix_fmt yuv411p -c:v dvvideo
  make_movie ff_prores.mov $(video 160x120) -c:v prores
  make_movie ff_svq1.mov $(video 160x120) -c:v svq1 -pix_fmt yuv410p
  make_movie ff_jpeg_aac51.mov $(video 321x241 10 2) $(tone 48000 2) \
    -filter_complex "[1]asplit=6[a][b][c][d][e][f];[a][b][c][d][e][f]join=inputs=6:channel_layout=5.1[s]" \
    -map 0:v -map "[s]" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a aac
  make_movie ff_cvid.mov $(video 320x240) $(tone 22050) -c:v cinepak -c:a pcm_s16be
  make_movie ff_h264_aac.mp4 $(video 160x120 25 2) $(tone 44100 2) -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p \
    -c:a aac -shortest
  make_movie ff_mp3.mp4 $(tone 44100) -ac 2 -c:a libmp3lame
  make_movie ff_mp3_22k.mov $(tone 22050) -c:a libmp3lame
  make_movie ff_alac.m4a $(tone 44100) -c:a alac
  make_movie ff_alac96.m4a $(tone 96000 0.5) -c:a alac
  make_movie ff_flac.mp4 $(tone 48000) -c:a flac -strict experimental
  make_movie ff_opus.mp4 $(tone 48000) -c:a libopus
  # The index-less file types, through libavformat as on Linux.
  make_movie ff.dv $(video 720x576 25 0.4) $(tone 48000 0.4) -pix_fmt yuv420p -c:v dvvideo -c:a pcm_s16le -ac 2 -f dv
  make_movie ff.dif $(video 720x576 25 0.3) -pix_fmt yuv420p -c:v dvvideo -f dv
  make_movie ff_h261.cif $(video 352x288 25) -c:v h261 -f h261
  make_movie ff_yuv.cif $(video 352x288 25 0.2) -pix_fmt yuv420p -f rawvideo
  make_movie ff.264 $(video 160x120 25 2) -c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -f h264
  make_movie ff.aif $(tone 44100) -ac 2 -c:a pcm_s16be -f aiff
}
# AMR-NB, which the command line cannot encode: its file header, then
# 12.2 kbit/s frames (a header byte and 31 bytes) of fixed noise.
python3 -c 'import random,sys; r=random.Random(7); sys.stdout.buffer.write(b"#!AMR\n"+b"".join(bytes([0x3C])+bytes(r.randrange(256) for _ in range(31)) for _ in range(50)))' \
  >"$movies/ff.amr"

# Two WAV files of 16-bit samples: the same header and length, every sample
# within 1.
within_one_lsb() {
  python3 - "$1" "$2" <<'PY'
import array, sys
a, b = (open(p, "rb").read() for p in sys.argv[1:3])
if len(a) != len(b) or a[:44] != b[:44] or len(a) % 2:
    sys.exit(1)
x, y = array.array("h", a[44:]), array.array("h", b[44:])
sys.exit(0 if all(abs(p - q) <= 1 for p, q in zip(x, y)) else 1)
PY
}

# MOVIE:FORMAT[:FORMAT...], or MOVIE:- for the sound alone, or MOVIE:~ for
# the sound alone within 1 LSB: the AMR decoder's floating-point maths calls
# the C library's (glibc's on Linux, msvcrt's on Windows), whose last bits
# differ, so a few samples of AMR come out 1 apart.
ffmpeg_checks() {
  local entry name formats format base before pins status_w status_l
  for entry in ff_hevc.mov:I420:RGB32 ff_hevc10.mp4:I420:RGB32 ff_hevc_turned.mp4:I420 ff_av1.mp4:I420 ff_mp4v.mp4:I420 \
    ff_mp4v_bframes.mp4:I420 ff_h263.mov:I420 ff_dv.mov:I420:YUY2 ff_prores.mov:I420:RGB24 ff_svq1.mov:I420 \
    ff_jpeg_aac51.mov:I420:RGB32 ff_cvid.mov:I420 ff_h264_aac.mp4:I420:RGB32:YUY2 ff_mp3.mp4:- ff_mp3_22k.mov:- \
    ff_alac.m4a:- ff_alac96.m4a:- ff_flac.mp4:- ff_opus.mp4:- ff.dv:I420 ff.dif:I420 ff_h261.cif:I420 \
    ff_yuv.cif:I420 ff.264:I420 ff.aif:- ff.amr:~; do
    name=${entry%%:*}
    IFS=: read -r -a formats <<<"${entry#*:}"
    for format in "${formats[@]}"; do
      if [ "$format" = - ] || [ "$format" = "~" ]; then
        pins=(--audio {}.wav)
      else
        pins=(--format "$format" --video {}.raw)
        # The sound too, where the movie has some.
        [ -z "$(ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 "$movies/$name" 2>/dev/null)" ] ||
          pins+=(--audio {}.wav)
      fi
      base="$out/ffmpeg.${name//./_}.$format"
      before=${#differs[@]}
      echo "== wine host: FFmpeg's decoders, $name $format"
      status_w=0 status_l=0
      mapfile -d '' -t wa < <(wargs convert "$movies/$name" "${pins[@]//\{\}/$base.wine}" --times "$base.wine.times")
      wtool "${wa[@]}" >/dev/null 2>"$base.wine.err" || status_w=$?
      ltool convert "$movies/$name" "${pins[@]//\{\}/$base.linux}" --times "$base.linux.times" >/dev/null \
        2>"$base.linux.err" || status_l=$?
      if [ $status_w -ne $status_l ]; then
        differs+=("$name $format: exit $status_w under Wine, $status_l on Linux ($(tr -d '\r' <"$base.wine.err" | tail -n 2))")
        continue
      fi
      [ -s "$base.linux.raw" ] || [ -s "$base.linux.wav" ] || differs+=("$name $format: Linux converted nothing")
      if [ "$format" = "~" ]; then
        within_one_lsb "$base.linux.wav" "$base.wine.wav" || differs+=("$name: the sound is not within 1 LSB of Linux's")
        same_times "$base.linux.times" "$base.wine.times" || differs+=("$name: the sample times")
      else
        same_present "$base" "$name $format"
      fi
      if [ ${#differs[@]} -eq "$before" ]; then
        echo "wine host: $name $format: equal to Linux's (exit $status_l)"
      fi
    done
  done
}
ffmpeg_checks

# The host's choice: the system's decoders first.
echo "== wine host: SystemDecodersFirst"
wine reg add 'HKCU\Software\Tidepool' /v SystemDecodersFirst /t REG_DWORD /d 1 /f >/dev/null 2>&1 ||
  fail "could not set SystemDecodersFirst"
before=${#differs[@]}
convert_both "$out/first.jpeg" "$movies/ff_jpeg_aac51.mov" --format I420 --video {}.raw --audio {}.wav --times {}.times
if cmp -s "$out/first.jpeg.linux.raw" "$out/first.jpeg.wine.raw"; then
  differs+=("SystemDecodersFirst: 'jpeg' still decoded by FFmpeg")
elif ! python3 scripts/compare_convert.py close "$out/first.jpeg.linux" "$out/first.jpeg.wine" \
  --frame-bytes $((322 * 242 * 3 / 2)); then
  differs+=("SystemDecodersFirst: the system's 'jpeg' is not close to Linux's")
fi
convert_both "$out/first.hevc" "$movies/ff_hevc.mov" --format I420 --video {}.raw --audio {}.wav --times {}.times
same_present "$out/first.hevc" "SystemDecodersFirst: HEVC, which the system lacks"
wine reg delete 'HKCU\Software\Tidepool' /v SystemDecodersFirst /f >/dev/null 2>&1 || true
if [ ${#differs[@]} -eq "$before" ]; then
  echo "wine host: SystemDecodersFirst: 'jpeg' by the system's decoder (close to Linux), HEVC still by FFmpeg"
fi
