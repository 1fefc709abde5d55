#include "MfVideoDecoder.h"

#include <mferror.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "codecs/AvcSpsColour.h"
#include "pixels/HighDepthSamples.h"
#include "pixels/PixelConvert.h"
#include "codecs/SystemCodecSetup.h"

namespace tp::qt {

namespace {

// Bounds on the samples kept since the last IDR for feeding again.
constexpr size_t kMaxRunSamples = 1200;
constexpr size_t kMaxRunBytes = size_t(256) << 20;
// A millisecond per step of picture order (any increasing times serve).
constexpr int64_t kStampStep = 10000;
// Stamps kept free below a run that does not start at an IDR.
constexpr int64_t kLeadingRoom = int64_t(1) << 16;
// Copies fed to push a held-back picture out: a decoder's reorder depth
// plus its pipeline (frame threads).
constexpr int kMaxFillers = 40;
// The deepest reordering H.264 allows (a full picture buffer), and the most
// decoding threads counted on, each of which may hold a picture.
constexpr int kMaxReorder = 16;
constexpr int kMaxDecoderThreads = 64;

// Planar 4:2:0 copies straight into the runtime's planar worlds, so it
// comes first; 16-bit samples, to be narrowed, last.
const GUID kPreferredOutputs[] = {MFVideoFormat_I420, MFVideoFormat_IYUV, MFVideoFormat_YV12,
                                  MFVideoFormat_NV12, MFVideoFormat_YUY2, MFVideoFormat_P010};

}  // namespace

// Picture memory handed back by the snapshots drawn, for the next pictures:
// a large block per picture would otherwise be mapped and faulted in anew
// each time. Shared with the snapshots, which may be destroyed on the
// drawing thread; `lock` is a leaf.
struct MfPicturePool {
  static constexpr size_t kKept = 8;
  std::mutex lock;
  std::vector<std::unique_ptr<MfPicture>> free;
  std::vector<ComRef<IMFSample>> samples;  // the decoder's output samples, drawn

  ComRef<IMFSample> TakeSample() {
    std::lock_guard<std::mutex> hold(lock);
    if (samples.empty()) return {};
    ComRef<IMFSample> sample = std::move(samples.back());
    samples.pop_back();
    return sample;
  }
  void GiveSample(ComRef<IMFSample> sample) {
    std::lock_guard<std::mutex> hold(lock);
    if (samples.size() < kKept) samples.push_back(std::move(sample));
  }

  std::unique_ptr<MfPicture> Take() {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (!free.empty()) {
        std::unique_ptr<MfPicture> pic = std::move(free.back());
        free.pop_back();
        return pic;
      }
    }
    return std::unique_ptr<MfPicture>(new (std::nothrow) MfPicture());
  }
  void Give(std::unique_ptr<MfPicture> pic) {
    std::lock_guard<std::mutex> hold(lock);
    if (free.size() < kKept) free.push_back(std::move(pic));
  }
};

namespace {

// A picture handed out by Receive, drawn later on the caller's thread.
class MfSnapshot final : public PictureSnapshot {
 public:
  MfSnapshot(std::unique_ptr<MfPicture> pic, std::shared_ptr<MfPicturePool> pool)
      : pic_(std::move(pic)), pool_(std::move(pool)) {}
  ~MfSnapshot() override { pool_->Give(std::move(pic_)); }
  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    return DrawMfPicture(*pic_, target, width, height);
  }

 private:
  std::unique_ptr<MfPicture> pic_;
  std::shared_ptr<MfPicturePool> pool_;
};

// A decoded sample's buffer locked for reading, and its picture (cropped to
// the display size) pointing into it, while the object lives.
class LockedPicture {
 public:
  LockedPicture(IMFSample *sample, const MfFrameGeometry &g) { hr_ = Lock(sample, g); }
  ~LockedPicture() {
    if (twoDLocked_)
      twoD_->Unlock2D();
    else if (locked_)
      buffer_->Unlock();
  }
  LockedPicture(const LockedPicture &) = delete;
  LockedPicture &operator=(const LockedPicture &) = delete;
  // Failed: the buffer would not lock. Fits: it holds the whole picture.
  HRESULT result() const { return hr_; }
  bool fits() const { return fits_; }
  const Picture &picture() const { return picture_; }

 private:
  HRESULT Lock(IMFSample *sample, const MfFrameGeometry &g) {
    HRESULT hr = sample->ConvertToContiguousBuffer(buffer_.put());
    if (FAILED(hr)) return hr;
    // The pitch: the 2-D buffer's own (with the extent it vouches for),
    // else the contiguous form's, which is the type's stride or the width.
    const bool yuy2 = g.layout == MfFrameGeometry::Source::kYUY2;
    // P010: NV12 with two bytes a sample.
    const bool p010 = g.layout == MfFrameGeometry::Source::kP010;
    const int sampleBytes = yuy2 || p010 ? 2 : 1;
    BYTE *base = nullptr, *start = nullptr;
    LONG pitch = 0;
    DWORD length = 0;
    if (SUCCEEDED(buffer_->QueryInterface(IID_IMF2DBuffer2, reinterpret_cast<void **>(twoD_.put()))) &&
        SUCCEEDED(twoD_->Lock2DSize(MF2DBuffer_LockFlags_Read, &base, &pitch, &start, &length))) {
      twoDLocked_ = true;
      // Only rows from the first scan line on are read.
      length = base >= start && DWORD(base - start) <= length ? length - DWORD(base - start) : 0;
    } else {
      hr = buffer_->Lock(&base, nullptr, &length);
      if (FAILED(hr)) return hr;
      locked_ = true;
      pitch = g.defaultStride > 0 ? g.defaultStride : g.frameWidth * sampleBytes;
    }
    // Where each plane of the buffer starts, and whether it holds them all.
    const int64_t p = pitch, fh = g.frameHeight, chromaRows = (fh + 1) / 2;
    int64_t offset[3] = {}, planePitch[3] = {p, 0, 0}, need = 0;
    if (yuy2) {
      need = p * fh;
    } else if (g.layout == MfFrameGeometry::Source::kNV12 || p010) {
      offset[1] = p * fh;
      planePitch[1] = p;
      need = offset[1] + p * chromaRows;
    } else {
      offset[1] = p * fh;
      offset[2] = offset[1] + (p / 2) * chromaRows;
      planePitch[1] = planePitch[2] = p / 2;
      need = offset[2] + (p / 2) * chromaRows;
      if (g.layout == MfFrameGeometry::Source::kYV12) std::swap(offset[1], offset[2]);
    }
    fits_ = p > 0 && p >= int64_t(g.frameWidth) * sampleBytes && need <= length && g.width > 0 && g.height > 0;
    if (!fits_) return S_OK;
    const int64_t cx = g.cropX / 2, cy = g.cropY / 2;
    picture_.width = g.width;
    picture_.height = g.height;
    picture_.fullRange = g.fullRange;
    // YUY2 is cropped by whole pairs of pixels.
    picture_.data[0] = base + g.cropY * p + (yuy2 ? cx * 4 : g.cropX * sampleBytes);
    picture_.linesize[0] = pitch;
    if (yuy2) {
      picture_.layout = PixelLayout::kYUYV422;
    } else if (g.layout == MfFrameGeometry::Source::kNV12 || p010) {
      // P010 is described as NV12 but holds 16-bit samples: it is read
      // through ReadPicture, which narrows it, never drawn in place.
      picture_.layout = PixelLayout::kNV12;
      picture_.data[1] = base + offset[1] + cy * p + cx * 2 * sampleBytes;
      picture_.linesize[1] = pitch;
    } else {
      picture_.layout = PixelLayout::kYUV420P;
      for (int i = 1; i < 3; ++i) {
        picture_.data[i] = base + offset[i] + cy * planePitch[i] + cx;
        picture_.linesize[i] = int(planePitch[i]);
      }
    }
    return S_OK;
  }

  ComRef<IMFMediaBuffer> buffer_;
  ComRef<IMF2DBuffer2> twoD_;
  bool locked_ = false, twoDLocked_ = false, fits_ = false;
  HRESULT hr_ = S_OK;
  Picture picture_;
};

// The deferred way's picture where the decoder fills our samples: the
// sample itself, drawn from in place, then handed back to the pool for a
// later picture.
class MfSampleSnapshot final : public PictureSnapshot {
 public:
  MfSampleSnapshot(ComRef<IMFSample> sample, const MfFrameGeometry &geometry, std::shared_ptr<MfPicturePool> pool)
      : sample_(std::move(sample)), geometry_(geometry), pool_(std::move(pool)) {}
  ~MfSampleSnapshot() override { pool_->GiveSample(std::move(sample_)); }
  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    LockedPicture locked(sample_.get(), geometry_);
    if (FAILED(locked.result()) || !locked.fits()) return codecErr;
    return DrawPicture(locked.picture(), target, width, height);
  }

 private:
  ComRef<IMFSample> sample_;
  MfFrameGeometry geometry_;
  std::shared_ptr<MfPicturePool> pool_;
};

// CODECAPI_AVLowLatencyMode, whose definition no import library carries.
constexpr GUID kLowLatencyMode = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};

void CopyRows(uint8_t *dst, int dstStride, const uint8_t *src, int64_t srcStride, int rowBytes, int rows) {
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + size_t(y) * size_t(dstStride), src + y * srcStride, size_t(rowBytes));
}

}  // namespace

OSErr MfVideoDecoder::Create(const MfVideoSetup &setup, std::unique_ptr<MfVideoDecoder> *out) {
  if (setup.width <= 0 || setup.height <= 0) return badImageDescription;
  std::unique_ptr<MfVideoDecoder> d(new (std::nothrow) MfVideoDecoder());
  if (!d) return memFullErr;
  d->pool_ = std::shared_ptr<MfPicturePool>(new (std::nothrow) MfPicturePool());
  if (!d->pool_) return memFullErr;
  d->width_ = setup.width;
  d->height_ = setup.height;
  if (OSErr err = MakeMfVideoFormat(setup.codec, setup.config, &d->format_); err != noErr) return err;
  if (setup.codec == MfVideoCodec::kH264) {
    d->parameterSets_ = d->format_.header;
    d->fullRange_ = AvcFullRangeInAnnexB(d->parameterSets_).value_or(false);
    SetAvcColourInAnnexB(&d->parameterSets_, kAvcColourBt601);
    d->nalLengthSize_ = d->format_.nalLengthSize;
    d->order_.Next(d->parameterSets_);
  }
  // Opened for the deferred way, which playback takes: its first run then
  // needs no second instance (a synchronous run opens one of its own).
  OSErr err = d->Open(&d->mft_, false);
  if (err != noErr) return err;
  if (FAILED(d->ReadGeometry())) return codecErr;
  *out = std::move(d);
  return noErr;
}

OSErr MfVideoDecoder::Open(MfTransform *mft, bool lowLatency) const {
  if ((!mft_.valid() || FAILED(mft_.CreateAnother(mft))) &&
      FAILED(MfTransform::Create(MFT_CATEGORY_VIDEO_DECODER, MFMediaType_Video, format_.subtype, mft)))
    return noCodecErr;
  // The synchronous way asks for pictures as soon as they are decoded, where
  // the decoder can; the deferred way leaves the decoder its own pipeline
  // (frame threads, reordering), which is what makes it fast.
  ComRef<IMFAttributes> attributes;
  if (lowLatency && SUCCEEDED(mft->get()->GetAttributes(attributes.put())) && attributes)
    attributes->SetUINT32(kLowLatencyMode, TRUE);

  ComRef<IMFMediaType> input;
  if (FAILED(MFCreateMediaType(input.put()))) return memFullErr;
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  input->SetGUID(MF_MT_SUBTYPE, format_.subtype);
  MFSetAttributeSize(input.get(), MF_MT_FRAME_SIZE, UINT32(width_), UINT32(height_));
  if (!format_.userData.empty())
    input->SetBlob(MF_MT_USER_DATA, format_.userData.data(), UINT32(format_.userData.size()));
  input->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_MixedInterlaceOrProgressive);
  if (FAILED(mft->SetInputType(input.get()))) return codecErr;
  if (FAILED(mft->ChooseOutputType(kPreferredOutputs))) return codecErr;
  return noErr;
}

MfVideoDecoder::~MfVideoDecoder() {
  if (started_ && mft_.valid()) mft_.get()->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
}

OSErr MfVideoDecoder::Reopen(bool lowLatency) {
  MfTransform fresh;
  if (Open(&fresh, lowLatency) != noErr || FAILED(fresh.Start())) return codecErr;
  if (started_ && mft_.valid()) mft_.get()->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
  mft_ = std::move(fresh);
  started_ = true;
  lowLatency_ = lowLatency;
  dirty_ = false;
  fedSinceOpen_ = 0;
  discontinuity_ = true;
  ++stats_.instances;
  return FAILED(ReadGeometry()) ? OSErr(codecErr) : OSErr(noErr);
}

HRESULT MfVideoDecoder::ReadGeometry() {
  IMFMediaType *type = mft_.outputType();
  GUID subtype{};
  HRESULT hr = type->GetGUID(MF_MT_SUBTYPE, &subtype);
  if (FAILED(hr)) return hr;
  MfFrameGeometry g;
  using Source = MfFrameGeometry::Source;
  g.layout = IsEqualGUID(subtype, MFVideoFormat_NV12)   ? Source::kNV12
             : IsEqualGUID(subtype, MFVideoFormat_YUY2) ? Source::kYUY2
             : IsEqualGUID(subtype, MFVideoFormat_YV12) ? Source::kYV12
             : IsEqualGUID(subtype, MFVideoFormat_P010) ? Source::kP010
                                                        : Source::kI420;
  UINT32 w = 0, h = 0;
  hr = MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h);
  if (FAILED(hr) || w == 0 || h == 0 || w > 16384 || h > 16384) return FAILED(hr) ? hr : E_UNEXPECTED;
  g.frameWidth = int(w);
  g.frameHeight = int(h);
  UINT32 stride = 0;
  g.defaultStride = SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) ? int(INT32(stride)) : 0;
  MFVideoArea area{};
  if (SUCCEEDED(
          type->GetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, reinterpret_cast<UINT8 *>(&area), sizeof(area), nullptr))) {
    g.cropX = std::clamp(int(area.OffsetX.value), 0, g.frameWidth - 1);
    g.cropY = std::clamp(int(area.OffsetY.value), 0, g.frameHeight - 1);
  }
  g.width = std::min(width_, g.frameWidth - g.cropX);
  g.height = std::min(height_, g.frameHeight - g.cropY);
  // Decoders hand out full-range pictures as decoded; one whose output type
  // says video range has converted them itself.
  UINT32 range = 0;
  g.fullRange =
      fullRange_ && !(SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &range)) && range == MFNominalRange_16_235);
  geometry_ = g;
  return S_OK;
}

HRESULT MfVideoDecoder::FeedOne(std::span<const uint8_t> data, int64_t time, bool discontinuity) {
  HRESULT hr = mft_.Feed(data, time, 0, discontinuity);
  if (hr == MF_E_NOTACCEPTING) {
    hr = PullAll();
    if (FAILED(hr)) return hr;
    hr = mft_.Feed(data, time, 0, discontinuity);
  }
  if (SUCCEEDED(hr)) {
    ++stats_.fed;
    ++fedSinceOpen_;
  }
  return hr;
}

HRESULT MfVideoDecoder::PullAll() {
  for (;;) {
    // A sample drawn and handed back takes the next picture.
    if (mft_.WantsSample()) {
      if (ComRef<IMFSample> drawn = pool_->TakeSample()) mft_.Recycle(std::move(drawn));
    }
    ComRef<IMFSample> sample;
    bool changed = false;
    HRESULT hr = mft_.Pull(&sample, &changed);
    if (changed) {
      HRESULT ghr = ReadGeometry();
      if (FAILED(ghr)) return ghr;
    }
    if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
    if (!deferred_) {
      hr = Keep(sample.get());
      mft_.Recycle(std::move(sample));
      if (FAILED(hr)) return hr;
      continue;
    }
    ++stats_.pictures;
    std::unique_ptr<PictureSnapshot> snapshot;
    bool fits = false;
    hr = TakePicture(std::move(sample), &snapshot, &fits);
    if (FAILED(hr) || !fits) {
      // Still its sample's picture: the sample comes out with an error.
      matcher_.Picture(nullptr, hr == E_OUTOFMEMORY ? OSErr(memFullErr) : OSErr(codecErr));
      continue;
    }
    matcher_.Picture(std::move(snapshot), memFullErr);
  }
}

HRESULT MfVideoDecoder::TakePicture(ComRef<IMFSample> sample, std::unique_ptr<PictureSnapshot> *out, bool *fits) {
  if (mft_.FillsOurSamples() && geometry_.layout != MfFrameGeometry::Source::kP010) {
    {
      LockedPicture locked(sample.get(), geometry_);
      if (FAILED(locked.result())) return locked.result();
      *fits = locked.fits();
    }
    if (*fits) out->reset(new (std::nothrow) MfSampleSnapshot(std::move(sample), geometry_, pool_));
    return S_OK;
  }
  std::unique_ptr<MfPicture> pic = pool_->Take();
  HRESULT hr = pic ? ReadPicture(sample.get(), pic.get(), fits) : E_OUTOFMEMORY;
  mft_.Recycle(std::move(sample));
  if (SUCCEEDED(hr) && *fits) out->reset(new (std::nothrow) MfSnapshot(std::move(pic), pool_));
  return hr;
}

HRESULT MfVideoDecoder::Keep(IMFSample *sample) {
  ++stats_.pictures;
  // Only the asked-for picture is copied; the first with its stamp wins.
  LONGLONG time = 0;
  if (haveWanted_ || FAILED(sample->GetSampleTime(&time)) || time != wanted_) return S_OK;
  // Built in the spare and swapped in only when whole, so a picture that
  // cannot be read leaves the last one as it was.
  bool fits = false;
  HRESULT hr = ReadPicture(sample, &spare_, &fits);
  if (FAILED(hr) || !fits) return hr;
  spare_.time = time;
  std::swap(current_, spare_);
  haveWanted_ = true;
  hasPicture_ = true;
  return S_OK;
}

HRESULT MfVideoDecoder::ReadPicture(IMFSample *sample, MfPicture *out, bool *fits) {
  LockedPicture locked(sample, geometry_);
  *fits = locked.fits();
  if (FAILED(locked.result()) || !*fits) return locked.result();
  const Picture &src = locked.picture();
  MfPicture &pic = *out;
  std::vector<uint8_t> block = std::move(pic.bytes);  // reused
  pic = MfPicture{};
  pic.bytes = std::move(block);
  pic.width = src.width;
  pic.height = src.height;
  pic.fullRange = src.fullRange;
  const int cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
  if (src.layout == PixelLayout::kYUYV422) {
    pic.layout = MfPictureLayout::kYUY2;
    pic.planeCount = 1;
    pic.strides[0] = cw * 4;
    pic.bytes.resize(size_t(pic.strides[0]) * size_t(pic.height));
    CopyRows(pic.bytes.data(), pic.strides[0], src.data[0], src.linesize[0], pic.strides[0], pic.height);
  } else if (src.layout == PixelLayout::kNV12) {  // P010 too, narrowed as it is copied
    pic.layout = MfPictureLayout::kNV12;
    pic.planeCount = 2;
    pic.strides[0] = pic.width;
    pic.strides[1] = cw * 2;
    pic.offsets[1] = size_t(pic.width) * size_t(pic.height);
    pic.bytes.resize(pic.offsets[1] + size_t(pic.strides[1]) * size_t(ch));
    const bool p010 = geometry_.layout == MfFrameGeometry::Source::kP010;
    auto copy = [p010](const uint8_t *from, int64_t fromStride, uint8_t *to, int toStride, int count, int rows) {
      if (p010)
        NarrowHighBitSamples(from, fromStride, to, toStride, count, rows);
      else
        CopyRows(to, toStride, from, fromStride, count, rows);
    };
    copy(src.data[0], src.linesize[0], pic.bytes.data(), pic.strides[0], pic.width, pic.height);
    copy(src.data[1], src.linesize[1], pic.bytes.data() + pic.offsets[1], pic.strides[1], pic.strides[1], ch);
  } else {
    pic.layout = MfPictureLayout::kI420;
    pic.planeCount = 3;
    pic.strides[0] = pic.width;
    pic.strides[1] = pic.strides[2] = cw;
    pic.offsets[1] = size_t(pic.width) * size_t(pic.height);
    pic.offsets[2] = pic.offsets[1] + size_t(cw) * size_t(ch);
    pic.bytes.resize(pic.offsets[2] + size_t(cw) * size_t(ch));
    CopyRows(pic.bytes.data(), pic.strides[0], src.data[0], src.linesize[0], pic.width, pic.height);
    for (int i = 1; i < 3; ++i) CopyRows(pic.bytes.data() + pic.offsets[i], cw, src.data[i], src.linesize[i], cw, ch);
  }
  return S_OK;
}

OSErr DrawMfPicture(const MfPicture &pic, const DrawTarget &target, int *width, int *height) {
  Picture p;
  p.width = pic.width;
  p.height = pic.height;
  p.fullRange = pic.fullRange;
  p.layout = pic.layout == MfPictureLayout::kYUY2   ? PixelLayout::kYUYV422
             : pic.layout == MfPictureLayout::kNV12 ? PixelLayout::kNV12
                                                    : PixelLayout::kYUV420P;
  for (int i = 0; i < pic.planeCount; ++i) {
    p.data[i] = pic.plane(i);
    p.linesize[i] = pic.strides[i];
  }
  return DrawPicture(p, target, width, height);
}

OSErr MfVideoDecoder::Prepare(std::span<const uint8_t> sample, AvcPictureOrder::Picture *order, int64_t *stamp) {
  if (format_.codec != MfVideoCodec::kH264) return PrepareOther(sample, order, stamp);
  scratch_.clear();
  if (nalLengthSize_ == 0) {
    scratch_.assign(sample.begin(), sample.end());
  } else if (!AppendAnnexB(sample, nalLengthSize_, &scratch_)) {
    return codecBadDataErr;
  }
  // Parameter sets sent in band get the same colour description as those
  // put in front.
  SetAvcColourInAnnexB(&scratch_, kAvcColourBt601);
  *order = order_.Next(scratch_);
  const bool restart = order->restart;
  if (restart || discontinuity_) scratch_.insert(scratch_.begin(), parameterSets_.begin(), parameterSets_.end());
  if (!started_) {
    if (FAILED(mft_.Start())) return codecErr;
    started_ = true;
  }
  // Stamps follow display order, so a decoder's output sees them go up.
  // A run that starts at a picture other than an IDR may begin with
  // pictures that display before it: room for them below.
  if (restart) runBase_ = lastStamp_ + 1 + (order->idr ? 0 : kLeadingRoom);
  *stamp = order->found ? std::max<int64_t>(runBase_ + order->order, 0) : lastStamp_ + 1;
  lastStamp_ = std::max(lastStamp_, *stamp);
  if (order->idr) lastIdr_ = scratch_;
  return noErr;
}

OSErr MfVideoDecoder::PrepareOther(std::span<const uint8_t> sample, AvcPictureOrder::Picture *order, int64_t *stamp) {
  bool randomAccess = false;
  if (OSErr err = MakeMfSample(format_, sample, discontinuity_, &scratch_, &randomAccess); err != noErr) return err;
  if (!started_) {
    if (FAILED(mft_.Start())) return codecErr;
    started_ = true;
  }
  // Every sample codes a picture; nothing here reads which others refer to
  // it, so a replay feeds them all.
  *order = AvcPictureOrder::Picture{};
  order->found = order->reference = true;
  order->idr = order->restart = randomAccess;
  *stamp = ++lastStamp_;
  if (randomAccess) lastIdr_ = scratch_;
  return noErr;
}

OSErr MfVideoDecoder::Decode(std::span<const uint8_t> sample) {
  if (deferred_) {
    // A synchronous run after a deferred one (which ended in Flush or Drain).
    deferred_ = false;
    matcher_.Clear();
    if (fedSinceOpen_ > 0) dirty_ = true;
    run_.clear();
    runBytes_ = 0;
    runComplete_ = true;
  }
  if ((dirty_ || !lowLatency_) && Reopen(true) != noErr) return codecErr;
  AvcPictureOrder::Picture order;
  int64_t stamp = 0;
  if (OSErr err = Prepare(sample, &order, &stamp); err != noErr) return err;
  if (order.restart) {
    run_.clear();
    runBytes_ = 0;
    runComplete_ = true;
  }
  if (runComplete_ && run_.size() < kMaxRunSamples && runBytes_ + scratch_.size() <= kMaxRunBytes) {
    run_.push_back({scratch_, stamp, !order.found || order.reference});
    runBytes_ += scratch_.size();
  } else {
    runComplete_ = false;
  }

  wanted_ = stamp * kStampStep;
  haveWanted_ = false;
  pending_ = true;
  if (holdsBack_) return noErr;  // decoded when its picture is asked for
  HRESULT hr = FeedOne(scratch_, stamp * kStampStep, discontinuity_);
  discontinuity_ = false;
  if (FAILED(hr) || FAILED(PullAll())) return codecErr;
  if (haveWanted_) {
    pending_ = false;
  } else {
    holdsBack_ = true;
  }
  return noErr;
}

OSErr MfVideoDecoder::LastPicture(const MfPicture **picture, bool *own) {
  *picture = nullptr;
  if (own) *own = false;
  if (pending_) {
    pending_ = false;
    // Too far from the last IDR to go back: the last picture stays.
    if (runComplete_ && !run_.empty()) {
      if (OSErr err = Replay(); err != noErr) return err;
    }
  }
  if (hasPicture_) *picture = &current_;
  if (own) *own = haveWanted_;
  return noErr;
}

OSErr MfVideoDecoder::Replay() {
  ++stats_.replays;
  // A fresh decoder each time: draining and flushing are not to be relied
  // on (Wine's decoder does neither), and the old one has seen stamps go
  // down (the asked-for picture came back before pictures that display
  // earlier), which makes Wine's relabel its pictures.
  MfTransform fresh;
  if (Open(&fresh, true) != noErr || FAILED(fresh.Start())) return codecErr;
  mft_ = std::move(fresh);
  ++stats_.instances;
  if (FAILED(ReadGeometry())) return codecErr;
  // Pictures no other picture refers to are left out, but for the last.
  for (size_t i = 0; i < run_.size() && !haveWanted_; ++i) {
    if (!run_[i].reference && i + 1 < run_.size()) continue;
    // Output is pulled only when the decoder is full: the asked-for picture
    // cannot come out before its own sample goes in.
    if (FAILED(FeedOne(run_[i].annexB, run_[i].stamp * kStampStep, i == 0))) return codecErr;
    ++stats_.replayed;
  }
  if (FAILED(PullAll())) return codecErr;
  // Push it out with copies of an IDR (its own run's, or the last one seen),
  // stamped after every picture of the run: a decoder hands out everything
  // before an IDR.
  for (int k = 0; !haveWanted_ && k < kMaxFillers; ++k) {
    const std::vector<uint8_t> &filler = lastIdr_.empty() ? run_.front().annexB : lastIdr_;
    if (FAILED(FeedOne(filler, (lastStamp_ + 1 + k) * kStampStep, false)) || FAILED(PullAll())) return codecErr;
    ++stats_.fillers;
  }
  return noErr;
}

int MfVideoDecoder::MaxDelay() const {
  const unsigned threads = std::thread::hardware_concurrency();
  return kMaxReorder + int(std::clamp(threads, 1u, unsigned(kMaxDecoderThreads))) + 1;
}

OSErr MfVideoDecoder::Send(std::span<const uint8_t> sample, uint64_t tag, int64_t displayTime) {
  if (!deferred_) {
    // The first sample of a deferred run: the decoder must not have seen a
    // synchronous run, and must not be in low-latency mode.
    deferred_ = true;
    if (fedSinceOpen_ > 0 || lowLatency_) dirty_ = true;
    pending_ = false;
    runFirst_.clear();
  }
  if (dirty_ && Reopen(false) != noErr) return codecErr;
  AvcPictureOrder::Picture order;
  int64_t stamp = 0;
  if (OSErr err = Prepare(sample, &order, &stamp); err != noErr) return err;
  if (runFirst_.empty()) runFirst_ = scratch_;
  const HRESULT hr = FeedOne(scratch_, stamp * kStampStep, discontinuity_);
  if (FAILED(hr)) {
    // Not taken. A decoder that refuses input is broken: a new instance
    // takes the next sample, which comes at a sync sample only by luck.
    dirty_ = true;
    return codecErr;
  }
  discontinuity_ = false;
  // A sample without a slice codes no picture: it takes none of the
  // decoder's.
  matcher_.Sent(tag, displayTime, order.found);
  if (FAILED(PullAll())) {
    // The pictures still inside are lost with the decoder.
    matcher_.GiveUpAll(codecErr);
    dirty_ = true;
    return noErr;
  }
  // A decoder that holds more than it may has dropped a picture somewhere:
  // the earliest sample waiting will not get one.
  while (matcher_.waiting() > MaxDelay()) matcher_.GiveUpEarliest(codecBadDataErr);
  return noErr;
}

bool MfVideoDecoder::Receive(VideoDecoder::Output *out) { return matcher_.Receive(out); }

OSErr MfVideoDecoder::Drain() {
  if (!deferred_ || matcher_.waiting() == 0) {
    discontinuity_ = true;
    return noErr;
  }
  // The decoder's own drain, where it has one; then copies of an IDR
  // (the last one seen, else the run's first sample), stamped after every
  // picture sent: a decoder hands out everything before an IDR. The copies'
  // own pictures find no sample waiting and are dropped.
  HRESULT hr = S_OK;
  if (SUCCEEDED(mft_.Drain())) hr = PullAll();
  const std::vector<uint8_t> &filler = lastIdr_.empty() ? runFirst_ : lastIdr_;
  for (int k = 0; SUCCEEDED(hr) && matcher_.waiting() > 0 && !filler.empty() && k < kMaxFillers; ++k) {
    hr = FeedOne(filler, (lastStamp_ + 1 + k) * kStampStep, false);
    if (SUCCEEDED(hr)) hr = PullAll();
    ++stats_.fillers;
  }
  lastStamp_ += kMaxFillers + 1;
  // What did not come out never will; the copies stay inside this instance.
  matcher_.GiveUpAll(codecBadDataErr);
  dirty_ = true;
  discontinuity_ = true;
  runFirst_.clear();
  return noErr;
}

void MfVideoDecoder::Flush() {
  matcher_.Clear();
  // Wine's decoder ignores a flush: a new instance takes the next run.
  if (fedSinceOpen_ > 0) dirty_ = true;
  discontinuity_ = true;
  runFirst_.clear();
}

}  // namespace tp::qt
