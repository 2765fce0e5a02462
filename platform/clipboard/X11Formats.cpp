// Text (wide and in the narrow code pages) and file lists between the
// Windows clipboard formats and X11 selection targets.
#include <cstring>

#include "clipinternal.h"
#include "pelplat/utf16.h"

namespace pelplat {
namespace clipboard {

namespace {

// The UTF-16 units of a wide-text block up to its first zero unit.
std::u16string WideUnits(const Bytes& text) {
  std::u16string units;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    char16_t unit = char16_t(text[i] | (text[i + 1] << 8));
    if (!unit) break;
    units.push_back(unit);
  }
  return units;
}

Bytes WideBytes(const std::u16string& units) {
  Bytes out;
  out.reserve((units.size() + 1) * 2);
  for (char16_t unit : units) {
    out.push_back(uint8_t(unit));
    out.push_back(uint8_t(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

uint32_t ReadU32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

constexpr size_t kDropFilesSize = 20;  // pFiles, pt.x, pt.y, fNC, fWide

bool Unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || strchr("-._~/", c);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local path of a file URI, or empty for anything else.
std::string PathOfUri(const std::string& uri) {
  static const char kScheme[] = "file://";
  if (uri.compare(0, sizeof kScheme - 1, kScheme) != 0) return {};
  std::string rest = uri.substr(sizeof kScheme - 1);
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return {};
  const std::string host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return {};
  std::string path;
  for (size_t i = slash; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && HexValue(rest[i + 1]) >= 0 && HexValue(rest[i + 2]) >= 0) {
      path.push_back(char(HexValue(rest[i + 1]) * 16 + HexValue(rest[i + 2])));
      i += 2;
    } else {
      path.push_back(rest[i]);
    }
  }
  if (path.find('\0') != std::string::npos) return {};
  return path;
}

// The upper halves of the code pages narrow Windows text is read in; the
// lower halves are ASCII. Windows-1252 differs from Latin-1 only in 0x80 to
// 0x9F (its five unassigned bytes map to the C1 controls, as Windows maps
// them).
const char16_t kAnsiC1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
const char16_t kOemHigh[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

char16_t NarrowUnit(uint8_t byte, CodePage page) {
  if (byte < 0x80) return byte;
  if (page == CodePage::kOem) return kOemHigh[byte - 0x80];
  return byte < 0xA0 ? kAnsiC1[byte - 0x80] : byte;
}

}  // namespace

std::string WideTextToUtf8(const Bytes& text) { return Utf16ToUtf8(WideUnits(text)); }

Bytes NarrowToWideText(const Bytes& text, CodePage page) {
  std::u16string units;
  for (uint8_t byte : text) {
    if (!byte) break;
    units.push_back(NarrowUnit(byte, page));
  }
  return WideBytes(units);
}

Bytes WideToNarrowText(const Bytes& text, CodePage page) {
  Bytes out;
  for (char16_t unit : WideUnits(text)) {
    uint8_t byte = '?';
    if (unit < 0x80) {
      byte = uint8_t(unit);
    } else {
      for (int b = 0x80; b < 0x100; ++b)
        if (NarrowUnit(uint8_t(b), page) == unit) {
          byte = uint8_t(b);
          break;
        }
    }
    out.push_back(byte);
  }
  out.push_back(0);
  return out;
}

Bytes Utf8ToWideText(const char* text, size_t size) { return WideBytes(Utf8ToUtf16(text, size)); }

std::string WideTextToLatin1(const Bytes& text) {
  std::string out;
  for (char16_t unit : WideUnits(text)) out.push_back(unit < 0x100 ? char(unit) : '?');
  return out;
}

Bytes Latin1ToWideText(const char* text, size_t size) {
  std::u16string units;
  for (size_t i = 0; i < size && text[i]; ++i) units.push_back(char16_t(uint8_t(text[i])));
  return WideBytes(units);
}

std::string HdropToUriList(const Bytes& hdrop) {
  if (hdrop.size() < kDropFilesSize) return {};
  const uint32_t first = ReadU32(hdrop, 0);
  const bool wide = ReadU32(hdrop, 16) != 0;
  if (first < kDropFilesSize || first > hdrop.size()) return {};
  std::string uris;
  size_t at = first;
  while (at < hdrop.size()) {
    std::string path;
    if (wide) {
      std::u16string units;
      while (at + 1 < hdrop.size()) {
        char16_t unit = char16_t(hdrop[at] | (hdrop[at + 1] << 8));
        at += 2;
        if (!unit) break;
        units.push_back(unit);
      }
      path = Utf16ToUtf8(units);
    } else {
      while (at < hdrop.size() && hdrop[at]) path.push_back(char(hdrop[at++]));
      ++at;
    }
    if (path.empty()) break;  // the closing empty name
    if (path[0] != '/') continue;  // a file URI names an absolute path
    uris += "file://";
    for (unsigned char c : path) {
      if (Unreserved(c)) {
        uris.push_back(char(c));
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        uris.push_back('%');
        uris.push_back(kHex[c >> 4]);
        uris.push_back(kHex[c & 15]);
      }
    }
    uris += "\r\n";
  }
  return uris;
}

Bytes UriListToHdrop(const std::string& uris) {
  std::u16string names;
  size_t start = 0;
  while (start < uris.size()) {
    size_t end = uris.find('\n', start);
    if (end == std::string::npos) end = uris.size();
    std::string line = uris.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string path = PathOfUri(line);
    if (path.empty()) continue;
    names += Utf8ToUtf16(path);
    names.push_back(0);
  }
  if (names.empty()) return {};
  Bytes out;
  PutU32(out, kDropFilesSize);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 1);  // wide names
  Bytes tail = WideBytes(names);  // adds the closing empty name
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

}  // namespace clipboard
}  // namespace pelplat
