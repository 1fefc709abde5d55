#include "codecs/Decompressor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "pixels/PixelConvert.h"

namespace tp::qt {
namespace {

uint8_t *Row(uint8_t *plane, int linesize, int y) { return plane + int64_t(linesize) * y; }

void ReplicatePlane(uint8_t *plane, int linesize, int bpp, int fullW, int fullH, int w, int h) {
  if (w <= 0 || h <= 0) return;
  for (int y = 0; y < h && w < fullW; ++y) {
    uint8_t *row = Row(plane, linesize, y);
    for (int x = w; x < fullW; ++x) std::memcpy(row + x * bpp, row + (w - 1) * bpp, size_t(bpp));
  }
  for (int y = h; y < fullH; ++y)
    std::memcpy(Row(plane, linesize, y), Row(plane, linesize, h - 1), size_t(fullW) * size_t(bpp));
}

// Tells the caller its picture is in place (or why not).
void Complete(const ICMCompletionProcRecord &completion, OSErr result) {
  completion.completionProc(result, codecCompletionSource | codecCompletionDest, completion.completionRefCon);
}

}  // namespace

void ReplicateEdges(const DrawTarget &t, int w, int h) {
  if (w <= 0 || h <= 0 || (w >= t.width && h >= t.height)) return;
  switch (t.format) {
    case PixelLayout::kYUV420P:
      ReplicatePlane(t.data[0], t.linesize[0], 1, t.width, t.height, w, h);
      ReplicatePlane(t.data[1], t.linesize[1], 1, (t.width + 1) / 2, (t.height + 1) / 2, (w + 1) / 2, (h + 1) / 2);
      ReplicatePlane(t.data[2], t.linesize[2], 1, (t.width + 1) / 2, (t.height + 1) / 2, (w + 1) / 2, (h + 1) / 2);
      return;
    case PixelLayout::kYUYV422: {
      // Pixels share chroma in pairs: finish the last pair, then repeat it.
      const int pairs = (t.width + 1) / 2, last = (w - 1) / 2;
      for (int y = 0; y < h; ++y) {
        uint8_t *row = Row(t.data[0], t.linesize[0], y);
        if (w % 2) row[last * 4 + 2] = row[last * 4];
        for (int p = last + 1; p < pairs; ++p) std::memcpy(row + p * 4, row + last * 4, 4);
      }
      for (int y = h; y < t.height; ++y)
        std::memcpy(Row(t.data[0], t.linesize[0], y), Row(t.data[0], t.linesize[0], h - 1), size_t(pairs) * 4);
      return;
    }
    default:
      ReplicatePlane(t.data[0], t.linesize[0], PackedBytesPerPixel(t.format), t.width, t.height, w, h);
      return;
  }
}

void ClearRowPadding(const DrawTarget &t) {
  if (t.format == PixelLayout::kYUV420P || !t.data[0]) return;
  const int64_t used = t.format == PixelLayout::kYUYV422 ? int64_t(t.width + 1) / 2 * 4
                                                         : int64_t(t.width) * PackedBytesPerPixel(t.format);
  const int64_t stride = t.linesize[0] < 0 ? -int64_t(t.linesize[0]) : int64_t(t.linesize[0]);
  if (used <= 0 || used >= stride) return;
  for (int y = 0; y < t.height; ++y) std::memset(Row(t.data[0], t.linesize[0], y) + used, 0, size_t(stride - used));
}

OSErr Decompressor::Create(std::span<const uint8_t> description, std::shared_ptr<GWorld> world,
                           std::unique_ptr<Decompressor> *out) {
  if (!out || !world) return paramErr;
  out->reset();
  std::unique_ptr<Decompressor> d(new (std::nothrow) Decompressor);
  if (!d) return memFullErr;
  OSErr err = ReadVideoCodecSetup(description, &d->setup_);
  if (err != noErr) return err;
  d->world_ = std::move(world);
  if (!d->setup_.raw) {
    if ((err = CreateVideoDecoder(d->setup_, &d->decoder_)) != noErr) return err;
  }
  *out = std::move(d);
  return noErr;
}

Decompressor::~Decompressor() {
  // Pictures held back are cancelled: every completion is called once.
  Flush();
  WaitForDraw();
  if (drawer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(drawMutex_);
      quit_ = true;
    }
    drawChanged_.notify_all();
    drawer_.join();
  }
}

void Decompressor::WaitForDraw() {
  std::unique_lock<std::mutex> lock(drawMutex_);
  drawChanged_.wait(lock, [this] { return !inFlight_; });
}

OSErr Decompressor::DecodeFrame(const uint8_t *data, int64_t size, bool draw, const ICMCompletionProcRecord *completion,
                                const ICMFrameTimeRecord *frameTime, bool keep) {
  if (!data || size <= 0) return paramErr;
  if (size > kMaxPictureBytes) return codecBadDataErr;
  keep = keep && completion && KeepsPictures();
  if (decoder_ && decoder_->CanDefer()) {
    if (run_ == Run::kNone) run_ = frameTime ? Run::kDeferred : Run::kSync;
    if (run_ == Run::kDeferred) return DecodeDeferred(data, size, draw, completion, frameTime, keep);
  }
  if (keep) {
    bool gotPicture = false;
    if (OSErr err = decoder_->Decode(data, size, &gotPicture); err != noErr) return err;
    std::unique_ptr<PictureSnapshot> picture = gotPicture ? decoder_->Snapshot() : nullptr;
    if (picture)
      Keep(*completion, std::move(picture));
    else
      Complete(*completion, codecErr);
    return noErr;
  }
  if (decoder_) return DecodeCompressed(data, size, draw, completion);
  // Our own conversions are quick: drawn here, the caller told at once.
  const OSErr err = DecodeRaw(data, size, draw);
  if (err == noErr && completion) Complete(*completion, noErr);
  return err;
}

bool Decompressor::StartDraw(const ICMCompletionProcRecord &completion) {
  std::unique_ptr<PictureSnapshot> picture = decoder_->Snapshot();
  if (!picture) return false;
  if (!StartDraw(picture, world_->Target(), completion)) return false;
  shownAt_ = world_->baseAddress();
  return true;
}

bool Decompressor::StartDraw(std::unique_ptr<PictureSnapshot> &picture, const DrawTarget &t,
                             const ICMCompletionProcRecord &completion) {
  WaitForDraw();
  if (!drawer_.joinable()) {
    try {
      drawer_ = std::thread(&Decompressor::DrawLoop, this);
    } catch (const std::system_error &) {
      return false;
    }
  }
  {
    // A kept picture may be drawing on another thread meanwhile.
    std::unique_lock<std::mutex> lock(drawMutex_);
    drawChanged_.wait(lock, [this] { return !inFlight_; });
    job_ = std::move(picture);
    jobTarget_ = t;
    jobCompletion_ = completion;
    inFlight_ = true;
    completionDue_ = true;
  }
  drawChanged_.notify_all();
  return true;
}

void Decompressor::DrawLoop() {
  std::unique_lock<std::mutex> lock(drawMutex_);
  for (;;) {
    drawChanged_.wait(lock, [this] { return quit_ || job_ != nullptr; });
    if (!job_) return;
    std::unique_ptr<PictureSnapshot> picture = std::move(job_);
    const DrawTarget t = jobTarget_;
    const ICMCompletionProcRecord completion = jobCompletion_;
    lock.unlock();
    int w = 0, h = 0;
    OSErr err = picture->Draw(t, &w, &h);
    if (err == noErr) {
      ReplicateEdges(t, w, h);
      ClearRowPadding(t);
    }
    picture.reset();
    {
      std::lock_guard<std::mutex> due(drawMutex_);
      completionDue_ = false;
    }
    Complete(completion, err);
    lock.lock();
    inFlight_ = false;
    drawChanged_.notify_all();
  }
}

OSErr Decompressor::DecodeRaw(const uint8_t *data, int64_t size, bool draw) {
  const RawFormat &raw = *setup_.raw;
  const int w = setup_.width, h = setup_.height;
  Picture p;
  p.layout = raw.format;
  p.width = w;
  p.height = h;
  if (raw.format == PixelLayout::kYUV420P) {
    const int64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (size < int64_t(w) * h + 2 * cw * ch) return codecBadDataErr;
    p.data[0] = data;
    p.data[1] = data + int64_t(w) * h;
    p.data[2] = p.data[1] + cw * ch;
    p.linesize[0] = w;
    p.linesize[1] = p.linesize[2] = int(cw);
  } else {
    const int64_t minRow = (int64_t(w) * raw.bitsPerPixel + 7) / 8;
    // Rows may be padded; the sample's size tells by how much.
    int64_t row = (size % h == 0 && size / h >= minRow) ? size / h : minRow;
    if (row > INT32_MAX / 2 || size < row * h) return codecBadDataErr;
    p.data[0] = data;
    p.linesize[0] = int(row);
    if (raw.signedChroma) {
      if (scratch_.size() < size_t(row * h)) scratch_.resize(size_t(row * h));
      std::memcpy(scratch_.data(), data, size_t(row * h));
      for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 1; x < minRow; x += 2) scratch_[size_t(y * row + x)] ^= 0x80;
      p.data[0] = scratch_.data();
    }
  }
  if (!draw) return noErr;
  const DrawTarget t = world_->Target();
  int drawnWidth = 0, drawnHeight = 0;
  if (OSErr err = DrawPicture(p, t, &drawnWidth, &drawnHeight); err != noErr) return err;
  ReplicateEdges(t, drawnWidth, drawnHeight);
  ClearRowPadding(t);
  return noErr;
}

OSErr Decompressor::DrawCurrent() {
  // An earlier picture still drawing must not land over this one.
  WaitForDraw();
  const DrawTarget t = world_->Target();
  if (!t.data[0]) return codecErr;
  int w = 0, h = 0;
  if (OSErr err = decoder_->Draw(t, &w, &h); err != noErr) return err;
  ReplicateEdges(t, w, h);
  ClearRowPadding(t);
  shownAt_ = world_->baseAddress();
  return noErr;
}

OSErr Decompressor::DecodeCompressed(const uint8_t *data, int64_t size, bool draw,
                                     const ICMCompletionProcRecord *completion) {
  bool gotPicture = false;
  if (OSErr err = decoder_->Decode(data, size, &gotPicture); err != noErr) return err;
  // Not shown anywhere yet; drawn now unless the caller only decodes. A
  // sample without a picture of its own: the world keeps showing the last
  // one, so draw it again if the pixel map has moved since.
  if (gotPicture) shownAt_ = nullptr;
  const bool drawNow = draw && (gotPicture || (decoder_->HasPicture() && shownAt_ != world_->baseAddress()));
  if (drawNow && completion) {
    if (!world_->Target().data[0]) return codecErr;
    if (StartDraw(*completion)) return noErr;
  }
  if (drawNow) {
    if (OSErr err = DrawCurrent(); err != noErr) return err;
  }
  if (completion) Complete(*completion, noErr);
  return noErr;
}

OSErr Decompressor::DecodeDeferred(const uint8_t *data, int64_t size, bool draw,
                                   const ICMCompletionProcRecord *completion, const ICMFrameTimeRecord *frameTime,
                                   bool keep) {
  Pending p;
  p.draw = draw;
  p.keep = keep;
  if (draw && !keep) {
    p.target = world_->Target();
    if (!p.target.data[0]) return codecErr;
  }
  if (completion) {
    p.hasCompletion = true;
    p.completion = *completion;
  }
  // A call without a frame time inside the run shows with the one before.
  if (frameTime) lastDisplayTime_ = (int64_t(frameTime->value.hi) << 32) | int64_t(frameTime->value.lo);
  p.tag = nextTag_++;
  if (OSErr err = decoder_->Send(data, size, p.tag, lastDisplayTime_); err != noErr) return err;
  pending_.push_back(p);
  if (!draw || completion) {
    CollectOutputs();
    return noErr;
  }
  // A synchronous call: its own picture is needed now, and only the end of
  // the run lets every picture out.
  VideoDecoder::Output own;
  own.result = codecBadDataErr;
  EndRun(&p.tag, &own);
  if (own.result != noErr || !own.picture) return own.result != noErr ? own.result : OSErr(codecErr);
  int w = 0, h = 0;
  ClaimDrawing();
  OSErr err = own.picture->Draw(p.target, &w, &h);
  if (err == noErr) {
    ReplicateEdges(p.target, w, h);
    ClearRowPadding(p.target);
  }
  own.picture.reset();
  ReleaseDrawing();
  return err;
}

void Decompressor::CollectOutputs(const uint64_t *keep, VideoDecoder::Output *kept) {
  VideoDecoder::Output out;
  while (decoder_->Receive(&out)) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending &p) { return p.tag == out.tag; });
    // A tag that is not pending (cancelled, or already given up on) is dropped.
    if (it != pending_.end()) {
      const Pending p = *it;
      pending_.erase(it);
      if (keep && p.tag == *keep)
        *kept = std::move(out);
      else
        Finish(p, out);
    }
    out = VideoDecoder::Output{};
  }
}

void Decompressor::Finish(const Pending &p, VideoDecoder::Output &out) {
  if (!p.hasCompletion) return;
  if (p.keep && out.result == noErr && out.picture) {
    Keep(p.completion, std::move(out.picture));
    return;
  }
  if (out.result != noErr || !p.draw || !out.picture) {
    Complete(p.completion, out.result != noErr ? out.result : (p.draw ? OSErr(codecErr) : OSErr(noErr)));
    return;
  }
  if (StartDraw(out.picture, p.target, p.completion)) return;
  // No drawing thread: drawn here, after the drawing in flight.
  int w = 0, h = 0;
  const OSErr err = out.picture->Draw(p.target, &w, &h);
  if (err == noErr) {
    ReplicateEdges(p.target, w, h);
    ClearRowPadding(p.target);
  }
  Complete(p.completion, err);
}

void Decompressor::EndRun(const uint64_t *keep, VideoDecoder::Output *kept) {
  if (OSErr err = decoder_->Drain(); err != noErr) {
    // The back end could not let its pictures out: they are lost.
    decoder_->Flush();
  }
  CollectOutputs(keep, kept);
  // Every sample should have come out; any that did not never will.
  for (const Pending &p : pending_) {
    if (p.hasCompletion) Complete(p.completion, codecBadDataErr);
  }
  pending_.clear();
  run_ = Run::kNone;
}

void Decompressor::Flush() {
  {
    // Kept pictures are forgotten: the samples after a flush start again.
    std::vector<Kept> forgotten;
    {
      std::unique_lock<std::mutex> lock(drawMutex_);
      drawChanged_.wait(lock, [this] { return !inFlight_; });
      forgotten.swap(kept_);
    }
  }
  if (run_ == Run::kDeferred) {
    WaitForDraw();
    decoder_->Flush();
    std::vector<Pending> cancelled;
    cancelled.swap(pending_);
    for (const Pending &p : cancelled) {
      if (p.hasCompletion) Complete(p.completion, codecAbortErr);
    }
  }
  run_ = Run::kNone;
}

bool Decompressor::Drain() {
  if (run_ == Run::kDeferred) EndRun(nullptr, nullptr);
  run_ = Run::kNone;
  std::lock_guard<std::mutex> lock(drawMutex_);
  return completionDue_;
}

int Decompressor::HeldCount() {
  WaitForDraw();
  return int(std::count_if(pending_.begin(), pending_.end(), [](const Pending &p) { return p.hasCompletion; }));
}

int Decompressor::PendingLimit() const { return decoder_ && decoder_->CanDefer() ? decoder_->MaxDelay() : 0; }

}  // namespace tp::qt

namespace tp::qt {

bool Decompressor::KeepsPictures() const { return decoder_ && decoder_->SnapshotsMayWait(); }

void Decompressor::Keep(const ICMCompletionProcRecord &completion, std::unique_ptr<PictureSnapshot> picture) {
  std::unique_ptr<PictureSnapshot> dropped;
  {
    std::lock_guard<std::mutex> lock(drawMutex_);
    // A caller that never draws what it kept must not hold pictures without
    // bound: the oldest goes (its DrawKept then fails).
    if (kept_.size() >= kMaxKept) {
      dropped = std::move(kept_.front().picture);
      kept_.erase(kept_.begin());
    }
    kept_.push_back(Kept{completion.completionRefCon, std::move(picture)});
  }
  dropped.reset();
  completion.completionProc(noErr, codecCompletionSource, completion.completionRefCon);
}

void Decompressor::ClaimDrawing() {
  std::unique_lock<std::mutex> lock(drawMutex_);
  drawChanged_.wait(lock, [this] { return !inFlight_; });
  inFlight_ = true;
}

void Decompressor::ReleaseDrawing() {
  // Notified under the lock: a destructor waiting for this may free the
  // condition as soon as the lock is let go.
  std::lock_guard<std::mutex> lock(drawMutex_);
  inFlight_ = false;
  drawChanged_.notify_all();
}

OSErr Decompressor::DrawKept(long refCon, uint8_t *const *planes, const int32_t *rowBytes) {
  std::unique_ptr<PictureSnapshot> picture;
  {
    std::unique_lock<std::mutex> lock(drawMutex_);
    drawChanged_.wait(lock, [this] { return !inFlight_; });
    auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept &k) { return k.refCon == refCon; });
    if (it == kept_.end()) return paramErr;
    picture = std::move(it->picture);
    kept_.erase(it);
    inFlight_ = true;
  }
  // The caller's planes, or where the pixel map points (read only then: its
  // owner may be pointing it while the next samples decode).
  DrawTarget t;
  if (planes) {
    t.format = world_->layout();
    t.width = world_->width();
    t.height = world_->height();
  } else {
    t = world_->Target();
  }
  OSErr err = noErr;
  if (planes) {
    const int count = t.format == PixelLayout::kYUV420P ? 3 : 1;
    const int64_t rowLength[3] = {t.format == PixelLayout::kYUV420P ? int64_t(t.width)
                                  : t.format == PixelLayout::kYUYV422
                                      ? int64_t(t.width + 1) / 2 * 4
                                      : int64_t(t.width) * PackedBytesPerPixel(t.format),
                                  int64_t(t.width + 1) / 2, int64_t(t.width + 1) / 2};
    for (int i = 0; i < 3; ++i) {
      t.data[i] = i < count ? planes[i] : nullptr;
      t.linesize[i] = i < count ? rowBytes[i] : 0;
      const int64_t step = t.linesize[i] < 0 ? -int64_t(t.linesize[i]) : int64_t(t.linesize[i]);
      if (i < count && (!t.data[i] || step < rowLength[i])) err = codecErr;
    }
  }
  if (err == noErr && !t.data[0]) err = codecErr;
  if (err == noErr) {
    int w = 0, h = 0;
    err = picture->Draw(t, &w, &h);
    if (err == noErr) {
      ReplicateEdges(t, w, h);
      ClearRowPadding(t);
    }
  }
  picture.reset();
  ReleaseDrawing();
  return err;
}

}  // namespace tp::qt
