// ContactSheet: the picture that `tidepool thumbs` writes. Frames, as the
// source filter's sample grabber copies them (IQuillSampleRecord::CopyTo's
// layout, include/tidepool/Tidepool.h), are scaled into tiles of a fixed
// size laid out in rows, each may carry a label (its time), and the whole
// sheet is written as a PNG.
//
// Scaling is libswscale's (bicubic, into RGB24) and the PNG comes from
// libavcodec's encoder. Builds without FFmpeg's libraries (the Windows
// cross-build) get a sheet whose every call fails with a clear reason.
//
// Ownership: the sheet owns its pixels. Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tidepool {

class ContactSheet {
 public:
  // columns x rows tiles of tileWidth x tileHeight, black to begin with.
  ContactSheet(int columns, int rows, int tileWidth, int tileHeight);

  // Scales the frame in record (CopyTo's layout, size bytes) into tile
  // index (row by row). false with the reason when the record is not a
  // video frame of a layout the sheet reads, or is cut short.
  bool Place(int index, const uint8_t *record, size_t size, std::string *error);
  // Labels tile index with text (LabelFont), in the tile's bottom left
  // corner, cut at the tile's edges.
  void Label(int index, const std::string &text);
  // Writes the sheet as a PNG. false with the reason.
  bool WritePng(const std::string &path, std::string *error) const;

  int Width() const { return m_columns * m_tileWidth; }
  int Height() const { return m_rows * m_tileHeight; }

  // The tile height that keeps a frame's shape at tileWidth (even, at least
  // 2), from the frame's width and height (the height's sign ignored).
  static int TileHeight(int tileWidth, int frameWidth, int frameHeight);

 private:
  int m_columns, m_rows, m_tileWidth, m_tileHeight;
  std::vector<uint8_t> m_rgb;  // Width() * Height() * 3, top row first
};

}  // namespace tidepool
