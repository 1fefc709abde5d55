#include "VfwVideoDecoder.h"

#include <windows.h>
#include <vfw.h>

#include <vector>

#include "pixels/PixelConvert.h"
#include "pixels/PixelFormats.h"

namespace tp::qt {

uint32_t VfwHandlerForCodecType(uint32_t codecType) {
  return (codecType >> 24) | ((codecType >> 8) & 0xFF00) | ((codecType << 8) & 0xFF0000) | (codecType << 24);
}

namespace {

class VfwVideoDecoder final : public VideoDecoder {
 public:
  VfwVideoDecoder(HIC hic, const BITMAPINFOHEADER &in, const BITMAPINFOHEADER &out)
      : hic_(hic), in_(in), out_(out), stride_(int(((int64_t(in.biWidth) * out.biBitCount / 8) + 3) & ~3)) {}
  ~VfwVideoDecoder() override {
    if (begun_) ICDecompressEnd(hic_);
    ICClose(hic_);
  }

  // Allocates the two picture buffers and starts decompressing; false when
  // the decompressor will not start.
  bool Begin() {
    try {
      pixels_.resize(size_t(stride_) * size_t(in_.biHeight));
      scratch_.resize(pixels_.size());
    } catch (const std::bad_alloc &) {
      return false;
    }
    begun_ = ICDecompressBegin(hic_, &in_, &out_) == ICERR_OK;
    return begun_;
  }

  OSErr Decode(const uint8_t *data, int64_t size, bool *gotPicture) override {
    *gotPicture = false;
    if (!data || size <= 0 || size > INT32_MAX) return codecBadDataErr;
    BITMAPINFOHEADER in = in_;
    in.biSizeImage = DWORD(size);
    // Inter-coded samples draw over the previous picture, which scratch_
    // must hold too.
    scratch_ = pixels_;
    if (ICDecompress(hic_, 0, &in, const_cast<uint8_t *>(data), &out_, scratch_.data()) != ICERR_OK) {
      return codecBadDataErr;
    }
    pixels_.swap(scratch_);
    decodedAny_ = true;
    *gotPicture = true;
    return noErr;
  }

  bool HasPicture() const override { return decodedAny_; }

  OSErr Draw(const DrawTarget &target, int *width, int *height) override {
    if (!decodedAny_) return codecErr;
    Picture p;
    p.layout = out_.biBitCount == 24   ? PixelLayout::kBGR24
               : out_.biBitCount == 32 ? PixelLayout::kBGRA
                                       : PixelLayout::kRGB555LE;
    p.width = int(in_.biWidth);
    p.height = int(in_.biHeight);
    // Bottom-up: the top row is the last in memory.
    p.data[0] = pixels_.data() + int64_t(stride_) * (p.height - 1);
    p.linesize[0] = -stride_;
    return DrawPicture(p, target, width, height);
  }

 private:
  HIC hic_;
  BITMAPINFOHEADER in_, out_;
  int stride_;
  bool begun_ = false, decodedAny_ = false;
  std::vector<uint8_t> pixels_, scratch_;
};

}  // namespace

OSErr CreateVfwVideoDecoder(const VideoCodecSetup &setup, std::unique_ptr<VideoDecoder> *out) {
  out->reset();
  if (setup.codecType == 0 || setup.width <= 0 || setup.height <= 0 || setup.width > 16384 || setup.height > 16384 ||
      int64_t(setup.width) * setup.height * 4 > kMaxPictureBytes) {
    return noCodecErr;
  }
  const DWORD handler = VfwHandlerForCodecType(setup.codecType);
  BITMAPINFOHEADER in{};
  in.biSize = sizeof(in);
  in.biWidth = setup.width;
  in.biHeight = setup.height;
  in.biPlanes = 1;
  // The description's depth; 24 where it says nothing usable (or grey, 40).
  in.biBitCount = WORD(setup.depth > 0 && setup.depth <= 32 ? setup.depth : 24);
  in.biCompression = handler;
  // 24-bit first (what Cinepak draws natively), then 32-bit, then 16-bit
  // (5:5:5, all that some 16-bit codecs draw).
  for (WORD bits : {WORD(24), WORD(32), WORD(16)}) {
    BITMAPINFOHEADER rgb{};
    rgb.biSize = sizeof(rgb);
    rgb.biWidth = setup.width;
    rgb.biHeight = setup.height;
    rgb.biPlanes = 1;
    rgb.biBitCount = bits;
    rgb.biCompression = BI_RGB;
    rgb.biSizeImage = DWORD(((setup.width * bits / 8 + 3) & ~3) * setup.height);
    HIC hic = ICLocate(ICTYPE_VIDEO, handler, &in, &rgb, ICMODE_DECOMPRESS);
    if (!hic) continue;
    std::unique_ptr<VfwVideoDecoder> d(new (std::nothrow) VfwVideoDecoder(hic, in, rgb));
    if (!d) {
      ICClose(hic);
      return memFullErr;
    }
    if (!d->Begin()) return codecErr;
    *out = std::move(d);
    return noErr;
  }
  return noCodecErr;
}

}  // namespace tp::qt
