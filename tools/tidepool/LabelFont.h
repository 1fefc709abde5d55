// LabelFont: the contact sheet's time labels, in a built-in 5 x 7 bitmap
// font of the characters a time needs (digits, ':' and '.'; anything else
// is drawn blank). A label is white text on a black box with a margin of
// one font pixel, each font pixel drawn as scale x scale image pixels.
//
// Pure functions over caller-owned RGB24 pixels; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tidepool::font {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kAdvance = kGlyphWidth + 1;  // a column of space between glyphs

// "hh:mm:ss.mmm" for a time in milliseconds (negative times as 0; past 99
// hours the hours take more digits).
std::string FormatTime(long long ms);

// The font pixel size for a tile width: 1 below 240 pixels, 2 from there.
int ScaleForWidth(int tileWidth);

struct Box {
  int width = 0;
  int height = 0;
};
// The size of the label box for text at scale.
Box LabelBox(const std::string &text, int scale);

// A clip rectangle: pixels with x0 <= x < x1 and y0 <= y < y1.
struct Clip {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Draws text's label box with its top left corner at (x, y) into the RGB24
// image at rgb (stride bytes per row), touching only pixels inside clip.
void DrawLabel(uint8_t *rgb, int stride, const Clip &clip, int x, int y, const std::string &text, int scale);

}  // namespace tidepool::font
