#include "program/EngineStatusFile.h"

#include <cstdio>

#include "sys/klog.h"

bool WriteEngineStatusFile(const std::string& path, int64_t status, const std::vector<std::string>& lines) {
  nlohmann::json document = nlohmann::json::object();
  document["log"] = lines;
  document["status"] = status;
  return WriteJsonFile(path, document);
}

bool WriteJsonFile(const std::string& path, const nlohmann::json& value) {
  std::string text;
  try {
    text = value.dump();
  } catch (const std::exception& e) {
    LogMessageA("Important failure during json command line processing %s (SAVE)", e.what());
    return false;
  }
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && written;
}
