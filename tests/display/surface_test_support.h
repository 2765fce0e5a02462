// Small helpers for the surface keeper tests: pixel access through the
// visible image, solid pictures and tiles.
#pragma once

#include <QImage>
#include <initializer_list>
#include <string>
#include <vector>

#include "display/SurfaceKeeper.h"
#include "qt/QtDoubleBufferSurfaceKeeper.h"

using Bytes = std::vector<BYTE>;

inline Bytes MakeBytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(BYTE(v));
  return out;
}

// The picture painters see; null for a keeper that is not the Qt one.
inline const QImage* ImageOf(ISurfaceKeeper& keeper) {
  auto* qt = dynamic_cast<CQtDoubleBufferSurfaceKeeper*>(&keeper);
  return qt ? qt->GetImage() : nullptr;
}

// The stored bytes of the visible pixel (x, y).
inline Bytes VisiblePixel(ISurfaceKeeper& keeper, int x, int y) {
  const QImage* image = ImageOf(keeper);
  const int bpp = keeper.GetBitsPerPixel() / 8;
  const BYTE* p = image->constScanLine(y) + x * bpp;
  return Bytes(p, p + bpp);
}

// A picture of width x height pixels all of one colour.
inline Bytes SolidPicture(int width, int height, const Bytes& colour) {
  Bytes out;
  for (int i = 0; i < width * height; ++i) out.insert(out.end(), colour.begin(), colour.end());
  return out;
}

// An 8x8 tile whose rows are spelled by letters, each letter a colour.
inline Bytes TileFromRows(const std::vector<std::string>& rows,
                          const std::vector<std::pair<char, Bytes>>& colours) {
  Bytes out;
  for (const std::string& row : rows)
    for (char letter : row)
      for (const auto& entry : colours)
        if (entry.first == letter) out.insert(out.end(), entry.second.begin(), entry.second.end());
  return out;
}
