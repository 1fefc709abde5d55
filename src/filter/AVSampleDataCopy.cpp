#include "filter/AVSampleDataCopy.h"

#include <strmif.h>
#include <uuids.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/SampleData.h"
#include "engine/SampleDataCopy.h"
#include "framework/CMediaSample.h"
#include "tidepool/Tidepool.h"
#include "trace/Trace.h"

namespace {

// FOURCC subtype "I420": not in every SDK's list.
constexpr GUID kSubtypeI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// Where the bitmap header lies in the two video format blocks, and the
// smallest block that holds it; the fields read from it.
constexpr ULONG kVideoInfoSize = 88;
constexpr ULONG kVideoInfoBitmap = 48;
constexpr ULONG kVideoInfo2Size = 112;
constexpr ULONG kVideoInfo2Bitmap = 72;
constexpr ULONG kBitmapWidth = 4;
constexpr ULONG kBitmapHeight = 8;
constexpr ULONG kBitmapBitCount = 14;
// WAVEFORMATEX as written to files and format blocks: 18 bytes.
constexpr ULONG kWaveFormatSize = 18;

enum class Layout { Bytes, Packed, Planar };

struct Image {
  LONG width = 0;
  LONG height = 0;
  WORD bitCount = 0;
};

template <typename T>
void Put(BYTE *buffer, uint32_t offset, const T &value) {
  std::memcpy(buffer + offset, &value, sizeof value);
}

Layout LayoutOf(const GUID &subtype) {
  if (subtype == MEDIASUBTYPE_YUY2 || subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32 ||
      subtype == MEDIASUBTYPE_RGB555 || subtype == MEDIASUBTYPE_RGB565) {
    return Layout::Packed;
  }
  if (subtype == MEDIASUBTYPE_YV12 || subtype == kSubtypeI420) return Layout::Planar;
  return Layout::Bytes;
}

// The bitmap header of a VIDEOINFOHEADER or VIDEOINFOHEADER2 block; all
// zeros for any other block.
Image ImageOf(const AM_MEDIA_TYPE &type) {
  ULONG at = 0;
  if (type.formattype == FORMAT_VideoInfo && type.cbFormat >= kVideoInfoSize) {
    at = kVideoInfoBitmap;
  } else if (type.formattype == FORMAT_VideoInfo2 && type.cbFormat >= kVideoInfo2Size) {
    at = kVideoInfo2Bitmap;
  } else {
    return {};
  }
  Image image;
  if (type.pbFormat == nullptr) return image;
  std::memcpy(&image.width, type.pbFormat + at + kBitmapWidth, sizeof image.width);
  std::memcpy(&image.height, type.pbFormat + at + kBitmapHeight, sizeof image.height);
  std::memcpy(&image.bitCount, type.pbFormat + at + kBitmapBitCount, sizeof image.bitCount);
  return image;
}

uint64_t Magnitude(LONG value) {
  return value < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(value)) : static_cast<uint64_t>(value);
}

// The DWORD-aligned row of a bitmap; 0 for a width that is not positive.
uint64_t RowBytes(const Image &image) {
  if (image.width <= 0) return 0;
  return (static_cast<uint64_t>(image.bitCount) * static_cast<uint64_t>(image.width) + 31) / 32 * 4;
}

// a × b, or the largest value when that does not fit.
uint64_t SaturatingProduct(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
  return a * b;
}

// Bytes of a 4:2:0 image: the luma plane and two chroma planes of half the
// width and half the rows (halvings round down).
uint64_t PlanarBytes(const Image &image) {
  const uint64_t width = image.width > 0 ? static_cast<uint64_t>(image.width) : 0;
  const uint64_t rows = Magnitude(image.height);
  return width * rows + 2 * (width / 2) * (rows / 2);
}

void CopyRows(BYTE *out, uint64_t outPitch, const BYTE *source, ptrdiff_t sourcePitch, uint64_t rows,
              uint64_t rowBytes) {
  for (uint64_t i = 0; i < rows; ++i) {
    std::memcpy(out + i * outPitch, source + static_cast<ptrdiff_t>(i) * sourcePitch, rowBytes);
  }
}

int32_t FieldValue(uint64_t bytes) {
  return bytes > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                            : static_cast<int32_t>(bytes);
}

}  // namespace

LONG CopyAVSampleData(AVSampleData *record, BYTE *buffer, unsigned size) {
  if (record == nullptr || record->sample == nullptr) return -1;
  BYTE *source = nullptr;
  if (FAILED(record->sample->GetPointer(&source))) return -1;
  if (buffer == nullptr) {
    TraceW8(TEXT("out of sample buffer"));
    return -1;
  }
  const LONG actualLength = record->sample->GetActualDataLength();
  const uint64_t sampleLength = actualLength > 0 ? static_cast<uint64_t>(actualLength) : 0;
  const bool isAudio = record->isAudio != 0;

  // What the format fields hold: the record's media type; for audio without
  // one, PCM described by the track's WAVEFORMATEX; otherwise zeros.
  GUID subtype = GUID_NULL;
  GUID formatType = GUID_NULL;
  const BYTE *format = nullptr;
  ULONG formatBytes = 0;
  const AM_MEDIA_TYPE *type = record->mediaType;
  if (type != nullptr) {
    subtype = type->subtype;
    formatType = type->formattype;
    if (type->pbFormat != nullptr) {
      format = type->pbFormat;
      formatBytes = type->cbFormat;
    }
  } else if (isAudio && record->audioFormat != nullptr) {
    subtype = MEDIASUBTYPE_PCM;
    formatType = FORMAT_WaveFormatEx;
    format = reinterpret_cast<const BYTE *>(record->audioFormat);
    formatBytes = kWaveFormatSize;
  }
  // A larger block would run into the data.
  if (formatBytes > TpRecordMaxFormatSize) {
    TraceA8("The format block is too large for the av sample buffer(%d) ", static_cast<int>(formatBytes));
    return -1;
  }

  // What goes to the data area, and how many bytes that is.
  Layout layout = isAudio || type == nullptr ? Layout::Bytes : LayoutOf(subtype);
  Image image;
  uint64_t dataBytes = sampleLength;
  if (sampleLength == 0) {
    layout = Layout::Bytes;
  } else if (layout == Layout::Packed) {
    image = ImageOf(*type);
    dataBytes = SaturatingProduct(RowBytes(image), Magnitude(image.height));
  } else if (layout == Layout::Planar) {
    image = ImageOf(*type);
    dataBytes = PlanarBytes(image);
  }

  if (size < TpRecordFormat + formatBytes) {
    TraceA8("The size of the av sample buffer is too small(%d) ", static_cast<int>(size));
    return -1;
  }
  Put<int32_t>(buffer, TpRecordHeader, 1);
  Put<uint8_t>(buffer, TpRecordIsAudio, static_cast<uint8_t>(record->isAudio & 0xff));
  Put<double>(buffer, TpRecordStartMs, static_cast<double>(record->startTime / 10000));
  Put<double>(buffer, TpRecordStopMs, static_cast<double>(record->stopTime / 10000));
  Put<GUID>(buffer, TpRecordSubtype, subtype);
  Put<GUID>(buffer, TpRecordFormatType, formatType);
  Put<uint16_t>(buffer, TpRecordFormatSize, static_cast<uint16_t>(formatBytes));
  Put<int32_t>(buffer, TpRecordDataLength, FieldValue(dataBytes));
  if (formatBytes != 0) std::memcpy(buffer + TpRecordFormat, format, formatBytes);

  if (size < TpRecordDataOffset || dataBytes > size - TpRecordDataOffset) {
    TraceA8("The size of the av sample buffer is too small(%d) ", static_cast<int>(size));
    return -1;
  }
  if (sampleLength == 0) return 0;
  Put<int32_t>(buffer, TpRecordDataOffsetField, static_cast<int32_t>(TpRecordDataOffset));
  BYTE *out = buffer + TpRecordDataOffset;
  const PlaneLayout *planes = record->planes;
  // Without plane pointers the image is read from the sample itself.
  if (layout != Layout::Bytes && planes == nullptr && dataBytes > sampleLength) {
    TraceA8("The av sample is shorter than its image(%d) ", static_cast<int>(sampleLength));
    return -1;
  }

  switch (layout) {
    case Layout::Bytes:
      if (!isAudio) TraceW8(TEXT("Media type we ignored"));
      std::memcpy(out, source, sampleLength);
      return 0;

    case Layout::Packed: {
      const uint64_t rows = Magnitude(image.height);
      const uint64_t rowBytes = RowBytes(image);
      if (dataBytes == 0) return 0;
      if (planes == nullptr) {
        std::memcpy(out, source, dataBytes);
        return 0;
      }
      const BYTE *plane = planes->planes[0];
      const ptrdiff_t pitch = planes->strides[0];
      if (plane == nullptr) return -1;
      if (record->bottomUp == 1) {
        for (uint64_t i = 0; i < rows; ++i) {
          std::memcpy(out + i * rowBytes, plane + static_cast<ptrdiff_t>(rows - 1 - i) * pitch, rowBytes);
        }
      } else {
        CopyRows(out, rowBytes, plane, pitch, rows, rowBytes);
      }
      return 0;
    }

    case Layout::Planar: {
      const uint64_t width = image.width > 0 ? static_cast<uint64_t>(image.width) : 0;
      const uint64_t rows = Magnitude(image.height);
      if (planes == nullptr) {
        TraceW8(TEXT("SrcStride(%d)"), static_cast<int>(image.width));
        std::memcpy(out, source, dataBytes);
        return 0;
      }
      if (dataBytes == 0) return 0;
      if (planes->planes[0] == nullptr || planes->planes[1] == nullptr || planes->planes[2] == nullptr) return -1;
      CopyRows(out, width, planes->planes[0], planes->strides[0], rows, width);
      out += width * rows;
      const uint64_t chromaWidth = width / 2;
      const uint64_t chromaRows = rows / 2;
      for (int plane = 1; plane <= 2; ++plane) {
        CopyRows(out, chromaWidth, planes->planes[plane], planes->strides[plane], chromaRows, chromaWidth);
        out += chromaWidth * chromaRows;
      }
      return 0;
    }
  }
  return -1;
}

void InstallAVSampleDataCopy() { SetAVSampleDataCopy(&CopyAVSampleData); }
