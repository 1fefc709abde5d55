#include "ContactSheet.h"

#include <windows.h>
#include <dshow.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "LabelFont.h"
#include "tidepool/Tidepool.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace tidepool {
namespace {

// I420 by its FOURCC: not every toolchain's headers name it.
constexpr GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

template <class T>
T ReadAt(const uint8_t *p, size_t offset) {
  T value;
  std::memcpy(&value, p + offset, sizeof value);
  return value;
}

// Where a frame's planes start in the record, and their strides (negative
// for bottom-up rows), for libswscale.
struct Planes {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  const uint8_t *data[4] = {};
  int stride[4] = {};
};

// The planes of a frame of the given layout in data (length bytes); false
// when the layout is not one the sheet reads or the data is short.
bool FindPlanes(const GUID &subtype, const BITMAPINFOHEADER &bih, const uint8_t *data, size_t length, Planes *out,
                std::string *error) {
  const long long w = bih.biWidth, h = bih.biHeight < 0 ? -static_cast<long long>(bih.biHeight) : bih.biHeight;
  const bool bottomUp = bih.biHeight > 0;
  auto packed = [&](AVPixelFormat format, int bytesPerPixel, bool upsideDown) {
    const long long stride = (w * bytesPerPixel + 3) & ~3LL;
    if (static_cast<unsigned long long>(stride * h) > length) return false;
    out->format = format;
    out->data[0] = upsideDown ? data + stride * (h - 1) : data;
    out->stride[0] = static_cast<int>(upsideDown ? -stride : stride);
    return true;
  };
  bool ok = false;
  if (IsEqualGUID(subtype, MEDIASUBTYPE_YV12) || IsEqualGUID(subtype, kI420) ||
      IsEqualGUID(subtype, MEDIASUBTYPE_IYUV)) {
    const long long luma = w * h, chroma = (w / 2) * (h / 2);
    ok = static_cast<unsigned long long>(luma + 2 * chroma) <= length;
    if (ok) {
      const bool vFirst = IsEqualGUID(subtype, MEDIASUBTYPE_YV12);
      out->format = AV_PIX_FMT_YUV420P;
      out->data[0] = data;
      out->data[vFirst ? 2 : 1] = data + luma;
      out->data[vFirst ? 1 : 2] = data + luma + chroma;
      out->stride[0] = static_cast<int>(w);
      out->stride[1] = out->stride[2] = static_cast<int>(w / 2);
    }
  } else if (IsEqualGUID(subtype, MEDIASUBTYPE_YUY2)) {
    ok = packed(AV_PIX_FMT_YUYV422, 2, false);
  } else if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB32)) {
    ok = packed(AV_PIX_FMT_BGR0, 4, bottomUp);
  } else if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB24)) {
    ok = packed(AV_PIX_FMT_BGR24, 3, bottomUp);
  } else {
    *error = "the frame's layout is not one the sheet reads";
    return false;
  }
  if (!ok) *error = "the frame is shorter than its format says";
  return ok;
}

}  // namespace

ContactSheet::ContactSheet(int columns, int rows, int tileWidth, int tileHeight)
    : m_columns(columns),
      m_rows(rows),
      m_tileWidth(tileWidth),
      m_tileHeight(tileHeight),
      m_rgb(static_cast<size_t>(columns) * tileWidth * rows * tileHeight * 3, 0) {}

int ContactSheet::TileHeight(int tileWidth, int frameWidth, int frameHeight) {
  if (frameHeight < 0) frameHeight = -frameHeight;
  if (frameWidth <= 0 || frameHeight <= 0) return 2;
  const long long h = (static_cast<long long>(tileWidth) * frameHeight + frameWidth) / (2LL * frameWidth) * 2;
  return h < 2 ? 2 : static_cast<int>(h);
}

bool ContactSheet::Place(int index, const uint8_t *record, size_t size, std::string *error) {
  if (index < 0 || index >= m_columns * m_rows) {
    *error = "no such tile";
    return false;
  }
  if (size < TpRecordDataOffset || ReadAt<int32_t>(record, TpRecordHeader) != 1 || record[TpRecordIsAudio] != 0) {
    *error = "not a video frame record";
    return false;
  }
  const GUID subtype = ReadAt<GUID>(record, TpRecordSubtype);
  const GUID formatType = ReadAt<GUID>(record, TpRecordFormatType);
  const uint16_t formatSize = ReadAt<uint16_t>(record, TpRecordFormatSize);
  const int32_t dataLength = ReadAt<int32_t>(record, TpRecordDataLength);
  if (!IsEqualGUID(formatType, FORMAT_VideoInfo) || formatSize < sizeof(VIDEOINFOHEADER) ||
      formatSize > TpRecordMaxFormatSize || dataLength < 0 ||
      static_cast<size_t>(dataLength) > size - TpRecordDataOffset) {
    *error = "the frame record has no usable format";
    return false;
  }
  const auto vih = ReadAt<VIDEOINFOHEADER>(record, TpRecordFormat);
  const BITMAPINFOHEADER &bih = vih.bmiHeader;
  if (bih.biWidth <= 0 || bih.biHeight == 0 || bih.biWidth > 16384 || bih.biHeight > 16384 || bih.biHeight < -16384) {
    *error = "the frame has no usable size";
    return false;
  }
  Planes planes;
  if (!FindPlanes(subtype, bih, record + TpRecordDataOffset, static_cast<size_t>(dataLength), &planes, error)) {
    return false;
  }
  const int height = bih.biHeight < 0 ? -bih.biHeight : bih.biHeight;
  SwsContext *sws = sws_getContext(bih.biWidth, height, planes.format, m_tileWidth, m_tileHeight, AV_PIX_FMT_RGB24,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!sws) {
    *error = "the frame cannot be scaled";
    return false;
  }
  const size_t row = static_cast<size_t>(index / m_columns) * m_tileHeight;
  const size_t column = static_cast<size_t>(index % m_columns) * m_tileWidth;
  uint8_t *dst[4] = {m_rgb.data() + (row * Width() + column) * 3, nullptr, nullptr, nullptr};
  const int dstStride[4] = {Width() * 3, 0, 0, 0};
  const int lines = sws_scale(sws, planes.data, planes.stride, 0, height, dst, dstStride);
  sws_freeContext(sws);
  if (lines != m_tileHeight) {
    *error = "the frame cannot be scaled";
    return false;
  }
  return true;
}

void ContactSheet::Label(int index, const std::string &text) {
  if (index < 0 || index >= m_columns * m_rows) return;
  const int x = index % m_columns * m_tileWidth, y = index / m_columns * m_tileHeight;
  const int scale = font::ScaleForWidth(m_tileWidth);
  const font::Box box = font::LabelBox(text, scale);
  font::DrawLabel(m_rgb.data(), Width() * 3, {x, y, x + m_tileWidth, y + m_tileHeight}, x,
                  y + m_tileHeight - box.height, text, scale);
}

bool ContactSheet::WritePng(const std::string &path, std::string *error) const {
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) {
    *error = "no PNG encoder in this FFmpeg";
    return false;
  }
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> ctx(avcodec_alloc_context3(codec),
                                                                  [](AVCodecContext *c) { avcodec_free_context(&c); });
  std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
  std::unique_ptr<AVPacket, void (*)(AVPacket *)> packet(av_packet_alloc(), [](AVPacket *p) { av_packet_free(&p); });
  if (!ctx || !frame || !packet) {
    *error = "out of memory";
    return false;
  }
  ctx->width = Width();
  ctx->height = Height();
  ctx->pix_fmt = AV_PIX_FMT_RGB24;
  ctx->time_base = AVRational{1, 1};
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
    *error = "the PNG encoder does not open";
    return false;
  }
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = Width();
  frame->height = Height();
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    *error = "out of memory";
    return false;
  }
  for (int y = 0; y < Height(); ++y) {
    std::memcpy(frame->data[0] + static_cast<size_t>(y) * frame->linesize[0],
                m_rgb.data() + static_cast<size_t>(y) * Width() * 3, static_cast<size_t>(Width()) * 3);
  }
  if (avcodec_send_frame(ctx.get(), frame.get()) < 0 || avcodec_send_frame(ctx.get(), nullptr) < 0 ||
      avcodec_receive_packet(ctx.get(), packet.get()) < 0) {
    *error = "the PNG encoder failed";
    return false;
  }
  FILE *out = std::fopen(path.c_str(), "wb");
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  const bool written =
      std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), out) == static_cast<size_t>(packet->size);
  if (std::fclose(out) != 0 || !written) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace tidepool
