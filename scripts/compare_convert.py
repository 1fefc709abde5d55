#!/usr/bin/env python3
"""Compares two runs of `tidepool convert` (a video file of raw frames, a WAV
file and a --times log from each), as the Wine stage needs it.

  compare_convert.py seek-tail RUN START
      RUN sought while it ran or paused (--seek-running S, --seek-paused S),
      START converted from S (--start S), both with the same --format. After
      the seek RUN must be START exactly: its video and PCM end with START's,
      and from each pin's first sample after the seek (the first one flagged
      as a discontinuity after its first sample, or its first) its time lines
      are START's.

  compare_convert.py close A B --frame-bytes N [--min-psnr 40] [--min-corr 0.99]
                              [--max-gain-db 0.5]
      Two decoders of the same movie: the same number of frames with the same
      times, every frame at least --min-psnr dB against the other (N bytes a
      frame, 8-bit samples), and PCM whose correlation is at least --min-corr
      and whose level is within --max-gain-db of the other's.

A run X names the files X.raw (video), X.wav and X.times. Exit status 0 when
the runs agree, 1 with one line per difference otherwise, 2 for bad usage.
"""

import argparse
import array
import math
import struct
import sys


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wav_data(path):
    """The bytes of a WAV file's data chunk."""
    blob = read(path)
    if len(blob) < 12 or blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a WAV file")
    pos = 12
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], struct.unpack_from("<I", blob, pos + 4)[0]
        if tag == b"data":
            return blob[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data chunk")


def pcm16(path):
    """A WAV file's 16-bit samples."""
    data = wav_data(path)
    samples = array.array("h")
    samples.frombytes(data[:len(data) // 2 * 2])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples


def times(path):
    """{pin: [(start, stop, sync, discontinuity), ...]} from a --times log."""
    lines = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if len(words) == 5:
                lines.setdefault(words[0], []).append(tuple(int(w) for w in words[1:]))
    return lines


def after_seek(samples):
    """The samples from the first discontinuity after the first sample; all
    of them when there is none (a seek while paused flushes the samples the
    sinks held, so nothing from before it is rendered)."""
    for i in range(1, len(samples)):
        if samples[i][3]:
            return samples[i:]
    return samples


def seek_tail(run, start):
    faults = []
    for ext, load in (("raw", read), ("wav", wav_data)):
        mine, theirs = load(f"{run}.{ext}"), load(f"{start}.{ext}")
        if not theirs:
            faults.append(f"{start}.{ext} holds nothing")
        elif len(mine) < len(theirs) or mine[len(mine) - len(theirs):] != theirs:
            faults.append(f"{run}.{ext} does not end with {start}.{ext} ({len(mine)} and {len(theirs)} bytes)")
    mine, theirs = times(f"{run}.times"), times(f"{start}.times")
    if sorted(mine) != sorted(theirs):
        faults.append(f"pins differ: {sorted(mine)} and {sorted(theirs)}")
    for pin in sorted(set(mine) & set(theirs)):
        tail = after_seek(mine[pin])
        if tail != theirs[pin]:
            first = next((i for i, (a, b) in enumerate(zip(tail, theirs[pin])) if a != b), min(len(tail), len(theirs[pin])))
            faults.append(f"{pin}: after the seek {len(tail)} samples, from the start {len(theirs[pin])}; "
                          f"first difference at {first}")
    return faults


def psnr(a, b):
    square = sum((x - y) * (x - y) for x, y in zip(a, b))
    if square == 0:
        return math.inf
    return 10 * math.log10(255 * 255 * len(a) / square)


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


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if samples else 0.0


def close(a, b, frame_bytes, min_psnr, min_corr, max_gain_db):
    faults = []
    ta, tb = times(f"{a}.times"), times(f"{b}.times")
    for pin in ("Video", "Audio"):
        sa = [(s[0], s[1]) for s in ta.get(pin, [])]
        sb = [(s[0], s[1]) for s in tb.get(pin, [])]
        if sa != sb:
            faults.append(f"{pin}: {len(sa)} and {len(sb)} samples, or their times differ")
    va, vb = read(f"{a}.raw"), read(f"{b}.raw")
    if len(va) != len(vb) or len(va) % frame_bytes:
        faults.append(f"video: {len(va)} and {len(vb)} bytes for frames of {frame_bytes}")
    worst = math.inf
    for i in range(min(len(va), len(vb)) // frame_bytes):
        frame = slice(i * frame_bytes, (i + 1) * frame_bytes)
        worst = min(worst, psnr(va[frame], vb[frame]))
    if worst < min_psnr:
        faults.append(f"video: the worst frame is at {worst:.2f} dB, below {min_psnr}")
    sa, sb = pcm16(f"{a}.wav"), pcm16(f"{b}.wav")
    r = correlation(sa, sb)
    if r < min_corr:
        faults.append(f"audio: correlation {r:.4f}, below {min_corr}")
    # Correlation does not see a change of level; the loudness must agree too.
    la, lb = rms(sa), rms(sb)
    gain = 20 * math.log10(lb / la) if la > 0 and lb > 0 else (0.0 if la == lb else math.inf)
    if abs(gain) > max_gain_db:
        faults.append(f"audio: {b} is {gain:+.2f} dB against {a}, beyond {max_gain_db} dB")
    print(f"video worst frame {worst:.2f} dB, audio correlation {r:.4f}, level {gain:+.2f} dB")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("seek-tail")
    s.add_argument("run")
    s.add_argument("start")
    c = sub.add_parser("close")
    c.add_argument("a")
    c.add_argument("b")
    c.add_argument("--frame-bytes", type=int, required=True)
    c.add_argument("--min-psnr", type=float, default=40.0)
    c.add_argument("--min-corr", type=float, default=0.99)
    c.add_argument("--max-gain-db", type=float, default=0.5)
    args = parser.parse_args()
    try:
        if args.command == "seek-tail":
            faults = seek_tail(args.run, args.start)
        else:
            if args.frame_bytes <= 0:
                parser.error("--frame-bytes must be positive")
            faults = close(args.a, args.b, args.frame_bytes, args.min_psnr, args.min_corr, args.max_gain_db)
    except (OSError, ValueError) as e:
        faults = [str(e)]
    for fault in faults:
        print(f"compare: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
