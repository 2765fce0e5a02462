// Text and file lists between the Windows clipboard formats and X11
// selection targets.
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

}  // namespace

std::string WideTextToUtf8(const Bytes& text) { return Utf16ToUtf8(WideUnits(text)); }

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
