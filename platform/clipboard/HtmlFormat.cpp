// "HTML Format" and text/html. Windows programs find the HTML behind a
// header of decimal byte offsets; X11 programs take the HTML itself.
#include <cstdio>
#include <cstring>
#include <map>

#include "clipinternal.h"

namespace pelplat {
namespace clipboard {

namespace {

const char kStartMarker[] = "<!--StartFragment-->";
const char kEndMarker[] = "<!--EndFragment-->";
const char kWrapHead[] = "<html>\r\n<body>\r\n<!--StartFragment-->";
const char kWrapTail[] = "<!--EndFragment-->\r\n</body>\r\n</html>";
// Every offset is written with ten digits, so the header's length is known
// before the offsets are.
const char kHeaderFormat[] =
    "Version:0.9\r\nStartHTML:%010llu\r\nEndHTML:%010llu\r\nStartFragment:%010llu\r\nEndFragment:%010llu\r\n";
constexpr size_t kHeaderSize = 105;

// A header value: digits (leading zeros allowed) or -1 for "none".
bool ParseOffset(const std::string& text, int64_t* value) {
  if (text == "-1") {
    *value = -1;
    return true;
  }
  if (text.empty() || text.size() > 12) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

}  // namespace

std::string HtmlFormatToHtml(const Bytes& htmlFormat) {
  // The text ends at its terminator when it has one.
  const auto* bytes = reinterpret_cast<const char*>(htmlFormat.data());
  const size_t nul = std::string(bytes, htmlFormat.size()).find('\0');
  const std::string text(bytes, nul == std::string::npos ? htmlFormat.size() : nul);

  std::map<std::string, std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos || text[at] == '<') break;
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    fields.emplace(line.substr(0, colon), line.substr(colon + 1));
    at = end + 1;
  }
  const uint64_t headerEnd = at;

  auto offset = [&](const char* key, int64_t* value) {
    auto it = fields.find(key);
    if (it == fields.end()) {
      *value = -1;
      return true;
    }
    return ParseOffset(it->second, value);
  };
  int64_t startHtml, endHtml, startFragment, endFragment;
  if (!fields.count("Version") || !offset("StartHTML", &startHtml) || !offset("EndHTML", &endHtml) ||
      !offset("StartFragment", &startFragment) || !offset("EndFragment", &endFragment))
    return {};
  const int64_t size = int64_t(text.size());
  if (startFragment < int64_t(headerEnd) || endFragment < startFragment || endFragment > size) return {};
  if (startHtml < 0 && endHtml < 0) return text.substr(size_t(startFragment), size_t(endFragment - startFragment));
  if (startHtml < int64_t(headerEnd) || startHtml > startFragment || endHtml < endFragment || endHtml > size)
    return {};
  return text.substr(size_t(startHtml), size_t(endHtml - startHtml));
}

Bytes HtmlToHtmlFormat(const std::string& html) {
  std::string text = html;
  if (text.size() >= 2 && uint8_t(text[0]) == 0xFF && uint8_t(text[1]) == 0xFE)
    text = WideTextToUtf8(Bytes(text.begin() + 2, text.end()));
  else if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.erase(0, 3);
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);

  std::string context;
  size_t fragmentStart, fragmentEnd;
  const size_t start = text.find(kStartMarker);
  const size_t end = start == std::string::npos ? start : text.find(kEndMarker, start);
  if (end != std::string::npos) {
    context = text;
    fragmentStart = start + strlen(kStartMarker);
    fragmentEnd = end;
  } else {
    context = kWrapHead + text + kWrapTail;
    fragmentStart = strlen(kWrapHead);
    fragmentEnd = fragmentStart + text.size();
  }
  std::string header(kHeaderSize + 1, '\0');
  snprintf(&header[0], header.size(), kHeaderFormat, (unsigned long long)kHeaderSize,
           (unsigned long long)(kHeaderSize + context.size()), (unsigned long long)(kHeaderSize + fragmentStart),
           (unsigned long long)(kHeaderSize + fragmentEnd));
  header.resize(kHeaderSize);
  Bytes out(header.begin(), header.end());
  out.insert(out.end(), context.begin(), context.end());
  out.push_back(0);  // Windows readers expect the text terminated
  return out;
}

}  // namespace clipboard
}  // namespace pelplat
