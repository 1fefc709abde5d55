#include "LabelFont.h"

#include <algorithm>
#include <cstdio>

namespace tidepool::font {
namespace {

// Rows top to bottom, bit 4 the leftmost column.
struct Glyph {
  char c;
  uint8_t rows[kGlyphHeight];
};
constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
};

const uint8_t *RowsOf(char c) {
  for (const Glyph &g : kGlyphs) {
    if (g.c == c) return g.rows;
  }
  return nullptr;
}

}  // namespace

std::string FormatTime(long long ms) {
  if (ms < 0) ms = 0;
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                ms % 1000);
  return text;
}

int ScaleForWidth(int tileWidth) { return tileWidth >= 240 ? 2 : 1; }

Box LabelBox(const std::string &text, int scale) {
  if (text.empty() || scale < 1) return {};
  const int columns = static_cast<int>(text.size()) * kAdvance - 1;
  return {(columns + 2) * scale, (kGlyphHeight + 2) * scale};
}

void DrawLabel(uint8_t *rgb, int stride, const Clip &clip, int x, int y, const std::string &text, int scale) {
  const Box box = LabelBox(text, scale);
  const int x0 = std::max(clip.x0, x), x1 = std::min(clip.x1, x + box.width);
  const int y0 = std::max(clip.y0, y), y1 = std::min(clip.y1, y + box.height);
  for (int py = y0; py < y1; ++py) {
    // Font coordinates of this row, the margin being -1 and kGlyphHeight.
    const int fy = (py - y) / scale - 1;
    for (int px = x0; px < x1; ++px) {
      const int fx = (px - x) / scale - 1;
      bool on = false;
      if (fy >= 0 && fy < kGlyphHeight && fx >= 0) {
        const size_t index = static_cast<size_t>(fx / kAdvance);
        const int column = fx % kAdvance;
        if (index < text.size() && column < kGlyphWidth) {
          const uint8_t *rows = RowsOf(text[index]);
          on = rows && (rows[fy] >> (kGlyphWidth - 1 - column) & 1);
        }
      }
      uint8_t *p = rgb + static_cast<size_t>(py) * static_cast<size_t>(stride) + static_cast<size_t>(px) * 3;
      p[0] = p[1] = p[2] = on ? 255 : 0;
    }
  }
}

}  // namespace tidepool::font
