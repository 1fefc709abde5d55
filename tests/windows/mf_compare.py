#!/usr/bin/env python3
"""mf_compare.py MOVIE OUTDIR: checks what tp_mf_decode wrote into OUTDIR
against ffmpeg's decode of MOVIE (the Linux build's decoders). Both sides
take the media as stored (no edit list), so their samples line up one to
one. Passes when the video has the same number of pictures at the same
display times, every picture reaches PSNR >= 40 dB, and the PCM correlates
>= 0.99. Prints the figures; exit status 0 on a pass."""
import array
import math
import os
import re
import subprocess
import sys

MIN_PSNR = 40.0
MIN_CORRELATION = 0.99


def run(args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def check_video(movie, out, name):
    with open(os.path.join(out, name + ".txt")) as f:
        width, height = map(int, f.readline().split())
        times = [int(line.split()[0]) for line in f if line.strip()]
    ref_times = sorted(int(t) for t in run([
        "ffprobe", "-v", "error", "-ignore_editlist", "1", "-select_streams", "v:0", "-show_entries",
        "packet=pts", "-of", "csv=p=0", movie]).stdout.split())
    ok = sorted(times) == ref_times
    print(f"video ({name}): {len(times)} pictures, ffmpeg {len(ref_times)}; times {'equal' if ok else 'DIFFER'}")

    # Our pictures come in decode order: put them in display order.
    size = width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)
    with open(os.path.join(out, name + ".yuv"), "rb") as f:
        data = f.read()
    order = sorted(range(len(times)), key=lambda i: times[i])
    mine = os.path.join(out, name + ".display.yuv")
    with open(mine, "wb") as f:
        for i in order:
            f.write(data[i * size:(i + 1) * size])
    ref = os.path.join(out, "reference.yuv")
    if not os.path.exists(ref):
        run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-ignore_editlist", "1", "-i", movie, "-map", "0:v:0",
             "-f", "rawvideo", "-pix_fmt", "yuv420p", "-fps_mode", "passthrough", ref])
    raw = ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}", "-i"]
    stats = run(["ffmpeg", "-nostdin", "-v", "error"] + raw + [mine] + raw +
                [ref, "-lavfi", "psnr=stats_file=-", "-f", "null", "-"]).stdout.decode()
    values = [float("inf") if v == "inf" else float(v) for v in re.findall(r"psnr_avg:(\S+)", stats)]
    if len(values) != len(times):
        print(f"video ({name}): PSNR over {len(values)} pictures only")
        return False
    worst = min(values)
    print(f"video ({name}): PSNR worst {worst:.2f} dB, mean {sum(min(v, 99) for v in values) / len(values):.2f} dB")
    return ok and worst >= MIN_PSNR


def correlation(a, b):
    n = min(len(a), len(b))
    if n == 0:
        return 0.0
    ma, mb = sum(a[:n]) / n, sum(b[:n]) / n
    sab = saa = sbb = 0.0
    for x, y in zip(a[:n], b[:n]):
        x -= ma
        y -= mb
        sab += x * y
        saa += x * x
        sbb += y * y
    return sab / math.sqrt(saa * sbb) if saa > 0 and sbb > 0 else 0.0


def check_audio(movie, out):
    with open(os.path.join(out, "audio.txt")) as f:
        rate, channels = map(int, f.read().split())
    mine = array.array("f")
    with open(os.path.join(out, "audio.f32"), "rb") as f:
        mine.frombytes(f.read())
    ref = array.array("f")
    ref.frombytes(run([
        "ffmpeg", "-nostdin", "-v", "error", "-ignore_editlist", "1", "-i", movie, "-map", "0:a:0", "-f", "f32le",
        "-ac", str(channels), "-ar", str(rate), "-"]).stdout)
    # Decoders may differ by whole priming frames at the start.
    best = (-1.0, 0)
    for lag in (0, 1024, -1024, 2048, -2048):
        a = mine[max(lag, 0) * channels:]
        b = ref[max(-lag, 0) * channels:]
        best = max(best, (correlation(a, b), lag))
    print(f"audio: {len(mine) // channels} frames, ffmpeg {len(ref) // channels}; "
          f"correlation {best[0]:.5f} at a lag of {best[1]} frames")
    return best[0] >= MIN_CORRELATION


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    movie, out = sys.argv[1], sys.argv[2]
    # What tp_mf_decode wrote: --deferred-only leaves out frames.* and the sound.
    video = check_video(movie, out, "deferred")
    video = check_video(movie, out, "runtime") and video
    if os.path.exists(os.path.join(out, "frames.txt")):
        video = check_video(movie, out, "frames") and video
    audio = check_audio(movie, out) if os.path.exists(os.path.join(out, "audio.txt")) else True
    print("mf_compare: " + ("passed" if video and audio else "FAILED"))
    return 0 if video and audio else 1


if __name__ == "__main__":
    sys.exit(main())
