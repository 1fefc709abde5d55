// The contact sheet in a build without FFmpeg's libraries: every call fails
// with the reason.
#include "ContactSheet.h"

namespace tidepool {

ContactSheet::ContactSheet(int columns, int rows, int tileWidth, int tileHeight)
    : m_columns(columns), m_rows(rows), m_tileWidth(tileWidth), m_tileHeight(tileHeight) {}

int ContactSheet::TileHeight(int tileWidth, int frameWidth, int frameHeight) {
  if (frameHeight < 0) frameHeight = -frameHeight;
  if (frameWidth <= 0 || frameHeight <= 0) return 2;
  const long long h = (static_cast<long long>(tileWidth) * frameHeight + frameWidth) / (2LL * frameWidth) * 2;
  return h < 2 ? 2 : static_cast<int>(h);
}

bool ContactSheet::Place(int, const uint8_t *, size_t, std::string *error) {
  *error = "this build has no scaler for contact sheets";
  return false;
}

void ContactSheet::Label(int, const std::string &) {}

bool ContactSheet::WritePng(const std::string &, std::string *error) const {
  *error = "this build has no PNG encoder";
  return false;
}

}  // namespace tidepool
