// CQTVideoExtraction, the copy out: a decoded frame block into the pin's
// buffer in the output layout (turned for display where the track says so),
// and the grabber's record of what was delivered. The decoding side is in
// CQTVideoDecoding.cpp.
#include <cstddef>
#include <cstring>
#include <utility>

#include "engine/CQTVideoExtraction.h"
#include "engine/IMediaSampleGrabber.h"
#include "engine/SampleData.h"
#include "framework/CMediaSample.h"
#include "framework/RefTime.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kFourCCI420 = static_cast<DWORD>('I') | (static_cast<DWORD>('4') << 8) |
                              (static_cast<DWORD>('2') << 16) | (static_cast<DWORD>('0') << 24);

LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Bytes of one output row of the picture itself (packed: a bitmap row,
// padded to 4 bytes), whatever the pitch the rows lie at.
LONG PictureRowBytes(const OutputView &out) {
  const LONG bitsPerPixel = (out.kind == PictureKind::Yuy2 ? 2 : out.bytesPerPixel) * 8;
  return (bitsPerPixel * out.width + 31) / 32 * 4;
}

// Copies the frame's rows into the output's rows, top row first (forward)
// or bottom row first (reverse). A row is written only when it lies whole
// inside out.size, and never read past the frame's byteCount. Returns
// rowLength x rows, the frame's length.
LONG CopyPackedRows(const OutputView &out, const DecodedFrame &frame, bool reverse) {
  const LONG rows = out.height;
  const LONG rowLength = frame.pixelRowBytes;
  const LONG pitch = out.pitch;
  if (rows == 0 || rowLength <= 0 || pitch <= 0 || out.size <= 0) return 0;
  const LONG pictureRow = PictureRowBytes(out);
  const LONG copyLength = rowLength < pictureRow ? rowLength : (pictureRow < pitch ? pictureRow : pitch);
  const LONG sourceRows = frame.byteCount / rowLength;
  // Rows that lie back to back on both sides go over in one piece.
  if (!reverse && pitch == rowLength && copyLength == pitch && sourceRows >= rows &&
      static_cast<LONGLONG>(pitch) * rows <= out.size) {
    std::memcpy(out.buffer, frame.pixels, static_cast<size_t>(rowLength) * static_cast<size_t>(rows));
    return rowLength * rows;
  }
  for (LONG i = 0; i < rows; ++i) {
    const LONG sourceRow = reverse ? rows - 1 - i : i;
    if (sourceRow >= sourceRows) continue;
    const LONGLONG at = static_cast<LONGLONG>(i) * pitch;
    if (at + copyLength > out.size) break;
    std::memcpy(out.buffer + at, frame.pixels + static_cast<size_t>(sourceRow) * static_cast<size_t>(rowLength),
                static_cast<size_t>(copyLength));
  }
  return rowLength * rows;
}

// Luma rows at the output's pitch, then the two chroma planes right after
// them at half that pitch. Rows that do not fit the buffer are cut.
void CopyPlanar420(const OutputView &out, const PlaneLayout &layout) {
  const LONG width = out.width, height = out.height, pitch = out.pitch;
  if (height <= 0 || width <= 0 || pitch < width || out.size <= 0) return;
  const size_t capacity = static_cast<size_t>(out.size);
  size_t at = 0;
  auto copyRows = [&](const BYTE *plane, LONG stride, LONG rows, LONG length, LONG step) {
    for (LONG row = 0; row < rows; ++row) {
      if (at < capacity) {
        const size_t n = capacity - at < static_cast<size_t>(length) ? capacity - at : static_cast<size_t>(length);
        std::memcpy(out.buffer + at, plane + static_cast<ptrdiff_t>(row) * stride, n);
      }
      at += static_cast<size_t>(step);
    }
  };
  copyRows(layout.planes[0], layout.strides[0], height, width, pitch);
  copyRows(layout.planes[1], layout.strides[1], height / 2, width / 2, pitch / 2);
  copyRows(layout.planes[2], layout.strides[2], height / 2, width / 2, pitch / 2);
}

UInt32 ReadBigEndian32(const BYTE *p) {
  return (static_cast<UInt32>(p[0]) << 24) | (static_cast<UInt32>(p[1]) << 16) | (static_cast<UInt32>(p[2]) << 8) |
         static_cast<UInt32>(p[3]);
}

}  // namespace

bool CQTVideoExtraction::PlanesOf420(const DecodedFrame &frame, PlaneLayout *layout) const {
  if (frame.byteCount < static_cast<LONG>(sizeof(PlanarPixmapInfoYUV420))) return false;
  const LONG width = storedWidth;
  const LONG height = Abs(storedHeight);
  const LONGLONG planeWidth[3] = {width, width / 2, width / 2};
  const LONGLONG planeRows[3] = {height, height / 2, height / 2};
  for (int i = 0; i < 3; ++i) {
    const LONGLONG offset = static_cast<LONG>(ReadBigEndian32(frame.pixels + 8 * i));
    const LONGLONG stride = ReadBigEndian32(frame.pixels + 8 * i + 4);
    if (offset < 0 || stride < planeWidth[i] || stride > 0x7fffffff) return false;
    const LONGLONG end = planeRows[i] > 0 ? offset + stride * (planeRows[i] - 1) + planeWidth[i] : offset;
    if (end > frame.byteCount) return false;
    layout->planes[i] = frame.pixels + offset;
    layout->strides[i] = static_cast<LONG>(stride);
  }
  return true;
}

OutputView CQTVideoExtraction::Destination(BYTE *buffer, LONG size) const {
  OutputView out;
  out.buffer = buffer;
  out.size = size;
  out.width = videoInfo.bmiHeader.biWidth;
  out.height = Abs(videoInfo.bmiHeader.biHeight);
  const LONG rowPixels = outputStride > 0 ? outputStride : out.width;
  switch (pixelFormat) {
    case kYUV420CodecType:
      out.kind = PictureKind::Planar420;
      out.crFirst = videoInfo.bmiHeader.biCompression != kFourCCI420;
      out.pitch = rowPixels;
      return out;
    case kYUVSPixelFormat:
      out.kind = PictureKind::Yuy2;
      break;
    case k32ARGBPixelFormat:
      out.bytesPerPixel = 4;
      out.bottomUp = true;
      break;
    case k24RGBPixelFormat:
      out.bytesPerPixel = 3;
      out.bottomUp = true;
      break;
    case k16LE555PixelFormat:
    case k16LE565PixelFormat:
      out.bytesPerPixel = 2;
      out.bottomUp = true;
      break;
    default:
      return out;
  }
  // Packed rows are bitmap rows: padded to 4 bytes.
  const LONG bitsPerPixel = (out.kind == PictureKind::Yuy2 ? 2 : out.bytesPerPixel) * 8;
  out.pitch = (bitsPerPixel * rowPixels + 31) / 32 * 4;
  return out;
}

LONG CQTVideoExtraction::CopyTurnedFrame(const DecodedFrame &frame, const OutputView &out, PlaneLayout *layout) const {
  PictureView picture;
  picture.width = pictureWidth;
  picture.height = pictureHeight;
  const LONG rowBytes = frame.pixelRowBytes;
  LONG pixelBytes = 0;  // packed: bytes a picture row needs
  switch (pixelFormat) {
    case kYUV420CodecType: {
      PlaneLayout planes{};
      if (!PlanesOf420(frame, &planes)) {
        TraceW8(TEXT("Decoded 4:2:0 picture has planes outside its frame"));
        return 0;
      }
      for (int i = 0; i < 3; ++i) {
        picture.planes[i] = planes.planes[i];
        picture.steps[i] = planes.strides[i];
      }
      return TurnPicture(picture, out, orientation, layout);
    }
    case kYUVSPixelFormat:
      pixelBytes = (pictureWidth + 1) / 2 * 4;
      if (WorldFormat() == kYUV420CodecType) {
        PlaneLayout planes{};
        if (!PlanesOf420(frame, &planes)) {
          TraceW8(TEXT("Decoded 4:2:0 picture has planes outside its frame"));
          return 0;
        }
        picture.kind = PictureKind::Planar420;
        for (int i = 0; i < 3; ++i) {
          picture.planes[i] = planes.planes[i];
          picture.steps[i] = planes.strides[i];
        }
        return TurnPicture(picture, out, orientation, layout);
      }
      break;
    case k32ARGBPixelFormat:
    case k24RGBPixelFormat:
    case k16LE555PixelFormat:
    case k16LE565PixelFormat:
      pixelBytes = pictureWidth * out.bytesPerPixel;
      break;
    default:
      return 0;
  }
  // The picture's rows must lie inside the frame's bytes.
  if (rowBytes <= 0 || rowBytes < pixelBytes || pictureHeight > storedHeight ||
      static_cast<LONGLONG>(rowBytes) * storedHeight > frame.byteCount) {
    TraceW8(TEXT("Decoded picture does not fit its frame"));
    return 0;
  }
  picture.planes[0] = frame.pixels;
  picture.steps[0] = rowBytes;
  if (pixelFormat == k32ARGBPixelFormat) {
    // The 32-bit world lies on a bottom-up DIB section.
    picture.planes[0] = frame.pixels + static_cast<ptrdiff_t>(storedHeight - 1) * rowBytes;
    picture.steps[0] = -static_cast<ptrdiff_t>(rowBytes);
  }
  return TurnPicture(picture, out, orientation, layout);
}

LONG CQTVideoExtraction::CopyFrame(const DecodedFrame &frame, BYTE *buffer, LONG size, PlaneLayout *layout,
                                   LONG *bottomUp, BYTE **grabbed) const {
  LONG frameLength = static_cast<LONG>(videoInfo.bmiHeader.biSizeImage);
  const OutputView out = Destination(buffer, size);
  *bottomUp = 0;
  *grabbed = frame.pixels;
  if (!orientation.IsIdentity()) {
    // The grabber sees the picture as delivered: the buffer, in its order.
    *grabbed = buffer;
    return CopyTurnedFrame(frame, out, layout);
  }
  switch (pixelFormat) {
    case k24RGBPixelFormat:
    case k16LE555PixelFormat:
    case k16LE565PixelFormat:
      layout->planes[0] = frame.pixels;
      layout->strides[0] = frame.pixelRowBytes;
      *bottomUp = 1;
      CopyPackedRows(out, frame, true);
      break;
    case k32ARGBPixelFormat:
    case kYUVSPixelFormat:
      layout->planes[0] = frame.pixels;
      layout->strides[0] = frame.pixelRowBytes;
      frameLength = CopyPackedRows(out, frame, false);
      break;
    case kYUV420CodecType:
      if (!PlanesOf420(frame, layout)) {
        TraceW8(TEXT("Decoded 4:2:0 picture has planes outside its frame"));
        break;
      }
      // YV12 wants Cr before Cb.
      if (out.crFirst) {
        std::swap(layout->planes[1], layout->planes[2]);
        std::swap(layout->strides[1], layout->strides[2]);
      }
      CopyPlanar420(out, *layout);
      break;
    default:
      break;
  }
  // The grabber's sample never reaches past the frame's own bytes.
  if (frameLength > frame.byteCount) frameLength = frame.byteCount;
  return frameLength;
}

void CQTVideoExtraction::HandToGrabber(DecodedFrame &frame, BYTE *bytes, LONG frameLength, PlaneLayout *layout,
                                       LONG bottomUp) {
  HRESULT hr = S_OK;
  CMediaSample sample(TEXT("CQTVideoExtraction"), nullptr, &hr, bytes, frameLength);
  REFERENCE_TIME startTime = UnitsToRefTime(frame.presentationTime, timeScale);
  REFERENCE_TIME stopTime = UnitsToRefTime(frame.presentationTime + frame.frameDuration, timeScale);
  sample.SetTime(&startTime, &stopTime);
  AVSampleData record;
  record.isAudio = 0;
  record.startTime = startTime;
  record.stopTime = stopTime;
  record.sample = &sample;
  record.mediaType = &mediaType;
  record.planes = layout;
  record.bottomUp = bottomUp;
  sampleGrabber->OnSample(0, &record, formatChanged);
  if (formatChanged == 1) {
    TraceA4("Tidepool Video type changed");
    formatChanged = 0;
  }
}

bool CQTVideoExtraction::DeliverKept(DecodedFrame &frame, BYTE *buffer, LONG size, PlaneLayout *layout, LONG *bottomUp,
                                     BYTE **grabbed, LONG *frameLength) {
  const OutputView view = Destination(buffer, size);
  const OutputPlanes out = PlanesOf(view);
  const bool straight = orientation.IsIdentity() && out.planes[0] != nullptr && WorldFormat() == pixelFormat;
  ICMPictureDestination destination{};
  for (int i = 0; i < 3; ++i) {
    destination.planes[i] = reinterpret_cast<Ptr>(out.planes[i]);
    destination.rowBytes[i] = out.steps[i];
  }
  // Otherwise drawn into the world's own pixels, which the frame names, and
  // copied (turned, or cut to the buffer) from there.
  const OSErr err = ICMSequenceDrawKeptPicture(sequence, frame.keptRef, straight ? &destination : nullptr);
  frame.keptRef = 0;
  if (err != noErr) {
    TraceW8(TEXT("ICMSequenceDrawKeptPicture failed(%d)"), static_cast<int>(err));
    return false;
  }
  if (!straight) {
    *frameLength = CopyFrame(frame, buffer, size, layout, bottomUp, grabbed);
    return true;
  }
  // The grabber sees the buffer as delivered, rows in its memory order.
  *grabbed = buffer;
  *bottomUp = 0;
  *layout = PlaneLayout{};
  if (view.kind == PictureKind::Planar420) {
    // Buffer order, as CopyFrame hands it over: Cr first for YV12.
    layout->planes[0] = out.planes[0];
    layout->planes[1] = out.planes[view.crFirst ? 2 : 1];
    layout->planes[2] = out.planes[view.crFirst ? 1 : 2];
    layout->strides[0] = out.steps[0];
    layout->strides[1] = layout->strides[2] = out.steps[1];
  } else {
    layout->planes[0] = buffer;
    layout->strides[0] = view.pitch;
  }
  *frameLength = static_cast<LONG>(out.length);
  return true;
}
