// Reads a copy record the way a host does: from the offsets and field sizes
// of include/tidepool/Tidepool.h, never from the writer's structures.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tidepool/Tidepool.h"

namespace filtertest {

struct RecordView {
  int32_t header = 0;
  uint8_t isAudio = 0;
  double startMs = 0;
  double stopMs = 0;
  GUID subtype{};
  GUID formatType{};
  uint16_t formatSize = 0;
  int32_t dataLength = 0;
  int32_t dataOffset = 0;
  std::vector<BYTE> format;
  std::vector<BYTE> data;  // dataLength bytes at dataOffset, when it was written
};

template <typename T>
T ReadAt(const std::vector<BYTE> &buffer, size_t offset) {
  T value{};
  std::memcpy(&value, buffer.data() + offset, sizeof value);
  return value;
}

inline RecordView ReadRecord(const std::vector<BYTE> &buffer) {
  RecordView v;
  v.header = ReadAt<int32_t>(buffer, TpRecordHeader);
  v.isAudio = ReadAt<uint8_t>(buffer, TpRecordIsAudio);
  v.startMs = ReadAt<double>(buffer, TpRecordStartMs);
  v.stopMs = ReadAt<double>(buffer, TpRecordStopMs);
  v.subtype = ReadAt<GUID>(buffer, TpRecordSubtype);
  v.formatType = ReadAt<GUID>(buffer, TpRecordFormatType);
  v.formatSize = ReadAt<uint16_t>(buffer, TpRecordFormatSize);
  v.dataLength = ReadAt<int32_t>(buffer, TpRecordDataLength);
  v.dataOffset = ReadAt<int32_t>(buffer, TpRecordDataOffsetField);
  if (TpRecordFormat + v.formatSize <= buffer.size()) {
    v.format.assign(buffer.begin() + TpRecordFormat, buffer.begin() + TpRecordFormat + v.formatSize);
  }
  if (v.dataOffset == static_cast<int32_t>(TpRecordDataOffset) && v.dataLength >= 0 &&
      TpRecordDataOffset + static_cast<size_t>(v.dataLength) <= buffer.size()) {
    v.data.assign(buffer.begin() + TpRecordDataOffset, buffer.begin() + TpRecordDataOffset + v.dataLength);
  }
  return v;
}

}  // namespace filtertest
