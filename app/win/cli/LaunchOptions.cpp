#include "cli/LaunchOptions.h"

#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "pelplat/utf16.h"
#include "sys/klog.h"

using nlohmann::json;

namespace {

const char kJsonFailure[] = "Important failure during json command line processing %s";

CLaunchOptions& ProcessLaunchOptions() {
  static CLaunchOptions options;
  return options;
}

// The argument after the first one equal to the option; empty when the
// option is absent or last.
std::string ValueOf(int argc, char** argv, const char* option) {
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && strcmp(argv[i], option) == 0)
      return (i + 1 < argc && argv[i + 1] != nullptr) ? argv[i + 1] : std::string();
  }
  return std::string();
}

bool HasFlag(int argc, char** argv, const char* flag) {
  for (int i = 0; i < argc; ++i)
    if (argv[i] != nullptr && strcmp(argv[i], flag) == 0) return true;
  return false;
}

[[noreturn]] void CannotUseAt() { throw std::runtime_error("cannot use at()"); }

// The member, or null when the object is not an object or lacks the key.
const json* Member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const json* Path(const json& root, std::initializer_list<const char*> keys) {
  const json* node = &root;
  for (const char* key : keys) {
    node = Member(*node, key);
    if (node == nullptr) return nullptr;
  }
  return node;
}

}  // namespace

void CLaunchOptions::Scan(int argc, char** argv) {
  if (scanned) return;
  scanned = 1;
  address = ValueOf(argc, argv, "-a");
  port = ValueOf(argc, argv, "-p");
  jsonPath = ValueOf(argc, argv, "-x");
  dual = HasFlag(argc, argv, "-dual") ? 1 : 0;
  noTovix = HasFlag(argc, argv, "-no-tovix") ? 1 : 0;
  if (jsonPath.empty()) return;
  jsonFlag = 1;
  json = LoadJsonFile(jsonPath);
  if (json.is_null()) LogMessageA(kJsonFailure, jsonPath.c_str());
}

nlohmann::json CLaunchOptions::LoadJsonFile(const std::string& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) return nlohmann::json();
  // A launch file is a few hundred bytes; a huge one is not read at all.
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (size < 0 || size > kMaxLaunchFileBytes) {
    LogMessageA("The launch file %s is larger than %d bytes; it is not read", path.c_str(),
                static_cast<int>(kMaxLaunchFileBytes));
    return nlohmann::json();
  }
  try {
    return nlohmann::json::parse(file);
  } catch (const std::exception& e) {
    LogMessageA(kJsonFailure, e.what());
    return nlohmann::json();
  }
}

void ScanLaunchOptions(int argc, char** argv) { ProcessLaunchOptions().Scan(argc, argv); }

const CLaunchOptions& GetLaunchOptions() { return ProcessLaunchOptions(); }

bool IsTovixDisabled() { return GetLaunchOptions().noTovix != 0; }

int GetJsonInt(const json& object, const char* key, int defaultValue) {
  if (!object.is_object()) CannotUseAt();
  const json* value = Member(object, key);
  if (value == nullptr) return defaultValue;
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  if (value->is_number_unsigned()) {
    uint64_t v = value->get<uint64_t>();
    if (v > static_cast<uint64_t>(kMax)) CannotUseAt();
    return static_cast<int>(v);
  }
  if (value->is_number_integer()) {
    int64_t v = value->get<int64_t>();
    if (v < kMin || v > kMax) CannotUseAt();
    return static_cast<int>(v);
  }
  if (value->is_number_float()) {
    double v = value->get<double>();
    // The range test also refuses NaN.
    if (!(v > static_cast<double>(kMin) - 1.0 && v < static_cast<double>(kMax) + 1.0)) CannotUseAt();
    return static_cast<int>(v);
  }
  CannotUseAt();
}

bool GetJsonBool(const json& object, const char* key, bool defaultValue) {
  const json* value = Member(object, key);
  return (value != nullptr && value->is_boolean()) ? value->get<bool>() : defaultValue;
}

std::string GetJsonMiscText(const json& object, const char* key) {
  const json* value = Member(object, key);
  return (value != nullptr && value->is_string()) ? value->get<std::string>() : std::string();
}

void GetJsonTextW(WCHAR* buffer, size_t capacity, const json& object, const char* key) {
  if (buffer == nullptr || capacity == 0) return;
  std::memset(buffer, 0, capacity * sizeof(WCHAR));
  const json* value = Member(object, key);
  if (value == nullptr || !value->is_string()) return;
  std::u16string wide = Utf8ToUtf16(value->get_ref<const std::string&>());
  WcsCopyTruncate(buffer, capacity, wide.c_str());
}

bool GetJsonMiscFlag(const json& document, const char* key, bool defaultValue) {
  const json* misc = Path(document, {"Pellum", "misc"});
  return misc == nullptr ? defaultValue : GetJsonBool(*misc, key, defaultValue);
}

std::string GetLaunchServerAddress(const json& document) {
  const json* server = Path(document, {"Pellum", "server"});
  return server == nullptr ? std::string() : GetJsonMiscText(*server, "address");
}

std::vector<std::string> GetLaunchServerGroup(const json& document) {
  std::vector<std::string> group;
  const json* list = Path(document, {"Pellum", "server", "srvgroup"});
  if (list == nullptr || !list->is_array()) return group;
  for (const json& entry : *list) {
    if (!entry.is_string()) return std::vector<std::string>();
    group.push_back(entry.get<std::string>());
  }
  return group;
}

void CopyLaunchText(char* field, size_t capacity, const std::string& text) {
  if (field == nullptr || capacity == 0) return;
  size_t n = Utf8BoundaryCut(text.data(), text.size(), capacity - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, capacity - n);
}
