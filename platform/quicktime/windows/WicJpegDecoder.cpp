#include "WicJpegDecoder.h"

#include <windows.h>
#include <wincodec.h>

#include <vector>

#include "pixels/PixelConvert.h"
#include "pixels/PixelFormats.h"
#include "windows/MfTransform.h"

namespace tp::qt {

namespace {

class WicJpegDecoder final : public VideoDecoder {
 public:
  explicit WicJpegDecoder(ComRef<IWICImagingFactory> factory) : factory_(std::move(factory)) {}

  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override {
    *gotPicture = false;
    if (!data || size <= 0 || size > INT32_MAX) return codecBadDataErr;
    if (HRESULT hr = DecodeImage(data, DWORD(size)); FAILED(hr)) {
      return hr == E_OUTOFMEMORY ? OSErr(memFullErr) : OSErr(codecBadDataErr);
    }
    *gotPicture = true;
    return noErr;
  }

  bool HasPicture() const override { return width_ > 0; }

  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    if (width_ <= 0) return codecErr;
    Picture p;
    p.layout = PixelLayout::kBGR24;
    p.chromaInRowPairs = true;
    p.width = width_;
    p.height = height_;
    p.data[0] = pixels_.data();
    p.linesize[0] = stride_;
    return DrawPicture(p, target, width, height);
  }

 private:
  HRESULT DecodeImage(const uint8_t *data, DWORD size) {
    ComRef<IWICStream> stream;
    HRESULT hr = factory_->CreateStream(stream.put());
    // The stream reads the sample where it lies; it is released before the
    // call returns.
    if (SUCCEEDED(hr)) hr = stream->InitializeFromMemory(const_cast<BYTE *>(data), size);
    ComRef<IWICBitmapDecoder> decoder;
    if (SUCCEEDED(hr)) {
      hr = factory_->CreateDecoderFromStream(stream.get(), &GUID_VendorMicrosoft, WICDecodeMetadataCacheOnDemand,
                                             decoder.put());
    }
    // A decoder of this vendor may be missing (a third-party one installed
    // instead): any JPEG decoder will do.
    if (FAILED(hr) && stream) {
      LARGE_INTEGER zero{};
      stream->Seek(zero, STREAM_SEEK_SET, nullptr);
      hr = factory_->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put());
    }
    GUID container{};
    if (SUCCEEDED(hr)) hr = decoder->GetContainerFormat(&container);
    // Only JPEG: a sample that happens to be another image format is damage.
    if (SUCCEEDED(hr) && !IsEqualGUID(container, GUID_ContainerFormatJpeg)) hr = WINCODEC_ERR_COMPONENTNOTFOUND;
    ComRef<IWICBitmapFrameDecode> frame;
    if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.put());
    UINT w = 0, h = 0;
    if (SUCCEEDED(hr)) hr = frame->GetSize(&w, &h);
    if (FAILED(hr)) return hr;
    // Rows padded to 4 bytes, as a DIB's; the block is bounded as every
    // picture of the runtime is.
    const int64_t stride = (int64_t(w) * 3 + 3) & ~int64_t(3);
    if (w == 0 || h == 0 || w > 32768 || h > 32768 || stride * h > kMaxPictureBytes) return E_INVALIDARG;

    WICPixelFormatGUID format{};
    hr = frame->GetPixelFormat(&format);
    if (FAILED(hr)) return hr;
    IWICBitmapSource *source = frame.get();
    ComRef<IWICFormatConverter> converter;
    if (!IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) {
      hr = factory_->CreateFormatConverter(converter.put());
      if (SUCCEEDED(hr)) {
        hr = converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom);
      }
      if (FAILED(hr)) return hr;
      source = converter.get();
    }
    try {
      scratch_.resize(size_t(stride * h));
    } catch (const std::bad_alloc &) {
      return E_OUTOFMEMORY;
    }
    hr = source->CopyPixels(nullptr, UINT(stride), UINT(scratch_.size()), scratch_.data());
    if (FAILED(hr)) return hr;
    // Only a whole picture replaces the last one.
    pixels_.swap(scratch_);
    width_ = int(w);
    height_ = int(h);
    stride_ = int(stride);
    return S_OK;
  }

  ComRef<IWICImagingFactory> factory_;
  std::vector<uint8_t> pixels_, scratch_;
  int width_ = 0, height_ = 0, stride_ = 0;
};

}  // namespace

OSErr CreateWicJpegDecoder(const VideoCodecSetup & /*setup*/, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  // The factory is a COM object of the multithreaded apartment that
  // MfStartup keeps alive.
  if (FAILED(MfStartup())) return noCodecErr;
  ComRef<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              reinterpret_cast<void **>(factory.put())))) {
    return noCodecErr;
  }
  // Is there a JPEG decoder at all? Asked here, so that a system without
  // one refuses the track at load.
  ComRef<IWICBitmapDecoder> probe;
  if (FAILED(factory->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, probe.put()))) return noCodecErr;
  out->reset(new (std::nothrow) WicJpegDecoder(std::move(factory)));
  return *out ? OSErr(noErr) : OSErr(memFullErr);
}

}  // namespace tp::qt
