#!/usr/bin/env python3
"""Compares what a player put on the screen and on the sound device with
ffmpeg's decode of the same movie.

  compare_capture.py picture SHOT.rgb SCREEN_W SCREEN_H FRAME.rgb FRAME_W FRAME_H [--min-psnr DB]
      SHOT is a screen grab and FRAME the movie's picture, both raw RGB24.
      The picture carries a pure magenta square in its top-left corner: its
      first pixel on the screen (in raster order) places the picture, and
      the picture's inner region (a tenth in from each edge) must match
      FRAME, after the best gain (0.8 to 1.2) and offset of its levels, at
      --min-psnr (default 35) dB or better.

  compare_capture.py sound CAPTURE.raw REFERENCE.raw [--min-corr R]
      Both signed 16-bit little-endian stereo at 44.1 kHz. Windows of 12 ms
      every 50 ms that hold sound throughout (at least 1 s of them) are
      each found in the reference, near where the last one was or else
      anywhere (a renderer following its clock plays a little fast or slow,
      a device starts late, a busy machine makes the sound skip): half of
      them must correlate at --min-corr (default 0.9) or better, on the left
      channel (a wrong sound matches in none). The sound should be
      noise-like, so that a window matches in one place only.

Exit 0 when within bounds, 1 with one line per fault otherwise.
"""
import math
import re
import struct
import sys


def fail(text):
    print(f"compare_capture: {text}")
    sys.exit(1)


def psnr(a, b):
    square = sum((x - y) * (x - y) for x, y in zip(a, b))
    return math.inf if square == 0 else 10 * math.log10(255 * 255 * len(a) / square)


def correlation(a, b):
    n = min(len(a), len(b))
    if n == 0:
        return 0.0
    a, b = a[:n], b[:n]
    ma, mb = sum(a) / n, sum(b) / n
    cov = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    va = sum((x - ma) ** 2 for x in a)
    vb = sum((y - mb) ** 2 for y in b)
    return cov / math.sqrt(va * vb) if va > 0 and vb > 0 else 0.0


def picture(args):
    shot_path, sw, sh, frame_path, fw, fh = args[:6]
    sw, sh, fw, fh = int(sw), int(sh), int(fw), int(fh)
    min_psnr = float(args[args.index("--min-psnr") + 1]) if "--min-psnr" in args else 35.0
    shot = open(shot_path, "rb").read()
    frame = open(frame_path, "rb").read()
    if len(shot) != sw * sh * 3 or len(frame) != fw * fh * 3:
        fail(f"sizes: {len(shot)} bytes for {sw}x{sh}, {len(frame)} for {fw}x{fh}")
    # The marker after the renderer's own conversions: red and blue high,
    # green low, on a pixel boundary.
    at = None
    for m in re.finditer(rb"[\xd0-\xff][\x00-\x30][\xd0-\xff]", shot):
        if m.start() % 3 == 0:
            at = m.start() // 3
            break
    if at is None:
        fail("the picture is not on the screen (no marker)")
    x0, y0 = at % sw, at // sw
    if x0 + fw > sw or y0 + fh > sh:
        fail(f"the picture at {x0},{y0} does not fit the screen")
    mx, my = fw // 10, fh // 10
    got, want = [], []
    for y in range(my, fh - my):
        s = ((y0 + y) * sw + x0 + mx) * 3
        f = (y * fw + mx) * 3
        n = (fw - 2 * mx) * 3
        got.extend(shot[s:s + n])
        want.extend(frame[f:f + n])
    # The renderer may show the levels of a limited-range conversion (16 to
    # 235): the picture is compared after the best gain and offset, and the
    # gain must be near 1.
    n = len(want)
    mg, mw = sum(got) / n, sum(want) / n
    cov = sum((a - mg) * (b - mw) for a, b in zip(got, want))
    var = sum((b - mw) ** 2 for b in want)
    gain = cov / var if var > 0 else 0.0
    offset = mg - gain * mw
    p = psnr(got, [gain * b + offset for b in want])
    print(f"picture at {x0},{y0}: inner region {fw - 2 * mx}x{fh - 2 * my} at {p:.2f} dB "
          f"after levels x{gain:.3f} {offset:+.1f}")
    if not 0.8 <= gain <= 1.2:
        fail(f"the picture's levels are scaled by {gain:.3f}")
    if p < min_psnr:
        fail(f"the picture on the screen is at {p:.2f} dB, below {min_psnr}")


def left(path):
    data = open(path, "rb").read()
    data = data[: len(data) // 4 * 4]
    return [s for i, s in enumerate(struct.unpack(f"<{len(data) // 2}h", data)) if i % 2 == 0]


def loud(samples, block=441, level=100):
    """Whether every 10 ms block of samples holds sound."""
    return all(max(abs(x) for x in samples[k : k + block]) > level for k in range(0, len(samples), block))


def locate(probe, reference, lo, hi, step=10):
    """Where in reference[lo:hi] probe best matches: a search of both
    decimated by step, refined at the full rate. (position, correlation)"""
    lo, hi = max(lo, 0), min(hi, len(reference) - len(probe))
    small = probe[::step]
    best, at = -2.0, lo
    for i in range(lo, hi + 1, step):
        r = correlation(small, reference[i : i + len(probe) : step])
        if r > best:
            best, at = r, i
    best = -2.0
    exact = at
    for i in range(max(at - step, lo), min(at + step, hi) + 1):
        r = correlation(probe, reference[i : i + len(probe)])
        if r > best:
            best, exact = r, i
    return exact, best


def sound(args):
    capture, reference = left(args[0]), left(args[1])
    min_corr = float(args[args.index("--min-corr") + 1]) if "--min-corr" in args else 0.9
    rate = 44100
    # Windows of the capture that hold sound throughout, each found in the
    # reference near where the last one was, or anywhere when not there: a
    # renderer following its clock plays a little fast or slow, a device
    # starts late, and a busy machine makes the sound skip.
    window, hop, reach = 512, rate // 20, rate // 2
    good, total, worst, last = 0, 0, 1.0, None
    first = None
    for w in range(0, len(capture) - window, hop):
        seg = capture[w : w + window]
        if not loud(seg):
            continue
        total += 1
        r = -2.0
        if last is not None:
            guess = last[1] + (w - last[0])
            found, r = locate(seg, reference, guess - reach, guess + reach)
        if r < min_corr:
            found, r = locate(seg, reference, 0, len(reference), step=20)
        worst = min(worst, r)
        if r >= min_corr:
            good += 1
            last = (w, found)
            first = found if first is None else first
    heard = total * hop / rate
    print(f"sound: {good} of {total} windows with sound correlate at {min_corr} or better (worst {worst:.3f}), "
          f"about {heard:.1f} s heard" + (f", from {first / rate:.3f} s of the movie" if first is not None else ""))
    if total * hop < rate:
        fail(f"the capture holds about {heard:.1f} s of sound, less than 1 s")
    # A window that straddles a skip does not match anywhere: the margin
    # keeps a busy machine from failing the check, while a wrong sound
    # matches in no window at all.
    if good < 0.5 * total:
        fail(f"only {good} of {total} windows of the captured sound correlate at {min_corr} or better")


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in ("picture", "sound"):
        fail("usage: compare_capture.py picture|sound ...")
    (picture if sys.argv[1] == "picture" else sound)(sys.argv[2:])
