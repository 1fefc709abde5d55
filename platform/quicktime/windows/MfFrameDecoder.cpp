#include "MfFrameDecoder.h"

#include <mferror.h>

#include <algorithm>
#include <vector>

#include "container/MovieModel.h"
#include "pixels/PixelConvert.h"
#include "codecs/SystemCodecSetup.h"
#include "windows/MfTransform.h"

namespace tp::qt {

namespace {

const GUID kPreferredOutputs[] = {MFVideoFormat_I420, MFVideoFormat_IYUV, MFVideoFormat_YV12, MFVideoFormat_NV12,
                                  MFVideoFormat_YUY2};

class MfFrameDecoder final : public VideoDecoder {
 public:
  MfFrameDecoder(MfTransform mft, int width, int height) : mft_(std::move(mft)), width_(width), height_(height) {}
  ~MfFrameDecoder() override {
    if (started_) mft_.get()->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
  }

  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override {
    *gotPicture = false;
    if (!data || size <= 0 || size > INT32_MAX) return codecBadDataErr;
    if (!started_) {
      if (FAILED(mft_.Start())) return codecErr;
      started_ = true;
    }
    const int64_t stamp = next_++;
    const std::span<const uint8_t> sample(data, size_t(size));
    HRESULT hr = mft_.Feed(sample, stamp, 1, false);
    if (hr == MF_E_NOTACCEPTING) {
      if (FAILED(PullAll(stamp, gotPicture))) return codecErr;
      hr = mft_.Feed(sample, stamp, 1, false);
    }
    if (FAILED(hr)) return codecBadDataErr;  // refused: the decoder takes the next samples
    if (FAILED(PullAll(stamp, gotPicture))) return codecErr;
    return noErr;
  }

  bool HasPicture() const override { return !picture_.empty(); }

  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    if (picture_.empty()) return codecErr;
    Picture p;
    p.width = picWidth_;
    p.height = picHeight_;
    const uint8_t *base = picture_.data();
    const int64_t lumaBytes = int64_t(pitch_) * frameHeight_;
    if (IsEqualGUID(subtype_, MFVideoFormat_YUY2)) {
      p.layout = PixelLayout::kYUYV422;
      p.data[0] = base;
      p.linesize[0] = pitch_;
    } else if (IsEqualGUID(subtype_, MFVideoFormat_NV12)) {
      p.layout = PixelLayout::kNV12;
      p.data[0] = base;
      p.data[1] = base + lumaBytes;
      p.linesize[0] = p.linesize[1] = pitch_;
    } else {
      const int64_t chromaBytes = int64_t(pitch_ / 2) * ((frameHeight_ + 1) / 2);
      const bool yv12 = IsEqualGUID(subtype_, MFVideoFormat_YV12);
      p.layout = PixelLayout::kYUV420P;
      p.data[0] = base;
      p.data[yv12 ? 2 : 1] = base + lumaBytes;
      p.data[yv12 ? 1 : 2] = base + lumaBytes + chromaBytes;
      p.linesize[0] = pitch_;
      p.linesize[1] = p.linesize[2] = pitch_ / 2;
    }
    return DrawPicture(p, target, width, height);
  }

 private:
  // Pulls every picture the transform gives now; the one stamped `stamp`
  // becomes current.
  HRESULT PullAll(int64_t stamp, bool *gotPicture) {
    for (;;) {
      ComRef<IMFSample> sample;
      bool changed = false;
      HRESULT hr = mft_.Pull(&sample, &changed);
      if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
      LONGLONG time = -1;
      if (FAILED(sample->GetSampleTime(&time)) || time != stamp) continue;
      if (FAILED(ReadGeometry()) || FAILED(SampleBytes(sample.get(), &scratch_))) continue;
      // Only a buffer that holds every plane replaces the last picture.
      const bool yuy2 = IsEqualGUID(subtype_, MFVideoFormat_YUY2);
      const int64_t need = yuy2 ? int64_t(pitch_) * frameHeight_
                                : int64_t(pitch_) * frameHeight_ + int64_t(pitch_) * ((frameHeight_ + 1) / 2);
      if (int64_t(scratch_.size()) < need) continue;
      picture_.swap(scratch_);
      *gotPicture = true;
    }
  }

  HRESULT ReadGeometry() {
    IMFMediaType *type = mft_.outputType();
    HRESULT hr = type->GetGUID(MF_MT_SUBTYPE, &subtype_);
    UINT32 w = 0, h = 0;
    if (SUCCEEDED(hr)) hr = MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h);
    if (FAILED(hr)) return hr;
    if (w == 0 || h == 0 || w > 16384 || h > 16384) return E_UNEXPECTED;
    const int bytesPerPixel = IsEqualGUID(subtype_, MFVideoFormat_YUY2) ? 2 : 1;
    UINT32 stride = 0;
    const int typeStride = SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) ? int(INT32(stride)) : 0;
    // A contiguous copy is laid out top-down at the type's stride, or
    // tightly (even, for the halved chroma rows).
    pitch_ = typeStride >= int(w) * bytesPerPixel ? typeStride : int(w) * bytesPerPixel;
    pitch_ += pitch_ & 1;
    frameHeight_ = int(h);
    picWidth_ = std::min(width_, int(w));
    picHeight_ = std::min(height_, int(h));
    return S_OK;
  }

  MfTransform mft_;
  int width_, height_;
  bool started_ = false;
  int64_t next_ = 0;
  GUID subtype_ = GUID_NULL;
  int pitch_ = 0, frameHeight_ = 0, picWidth_ = 0, picHeight_ = 0;
  std::vector<uint8_t> picture_, scratch_;
};

}  // namespace

bool IsMfFrameCodec(const VideoCodecSetup &setup) {
  return setup.codec == "h263" || setup.codec == "dvvideo" || setup.codec == "mpeg4";
}

OSErr CreateMfFrameDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  GUID subtype = GUID_NULL;
  if (setup.codec == "h263") {
    subtype = MFVideoFormat_H263;
  } else if (setup.codec == "mpeg4") {
    subtype = MFVideoFormat_MP4V;
  } else if (setup.codec == "dvvideo" && (setup.codecType == FourCC("dvc ") || setup.codecType == FourCC("dvcp"))) {
    subtype = MFVideoFormat_DVSD;  // standard definition; the HD and 50 Mbit/s kinds have no transform
  } else {
    return noCodecErr;
  }
  // B-pictures come out after later samples went in, which this decoder
  // cannot match to their samples: such streams are refused, not shown out
  // of place.
  if (setup.codec == "mpeg4" && !Mpeg4PicturesInDecodeOrder(setup.extradata)) return noCodecErr;
  if (setup.width <= 0 || setup.height <= 0 || setup.width > 16384 || setup.height > 16384) return codecErr;
  if (FAILED(MfStartup())) return noCodecErr;
  MfTransform mft;
  if (FAILED(MfTransform::Create(MFT_CATEGORY_VIDEO_DECODER, MFMediaType_Video, subtype, &mft))) return noCodecErr;

  ComRef<IMFMediaType> input;
  if (FAILED(MFCreateMediaType(input.put()))) return memFullErr;
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  input->SetGUID(MF_MT_SUBTYPE, subtype);
  MFSetAttributeSize(input.get(), MF_MT_FRAME_SIZE, UINT32(setup.width), UINT32(setup.height));
  if (!setup.extradata.empty()) {
    input->SetBlob(MF_MT_USER_DATA, setup.extradata.data(), UINT32(setup.extradata.size()));
  }
  if (FAILED(mft.SetInputType(input.get())) || FAILED(mft.ChooseOutputType(kPreferredOutputs))) return codecErr;
  out->reset(new (std::nothrow) MfFrameDecoder(std::move(mft), setup.width, setup.height));
  return *out ? OSErr(noErr) : OSErr(memFullErr);
}

}  // namespace tp::qt
