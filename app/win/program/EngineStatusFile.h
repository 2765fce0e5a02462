// The status file a pass of the run loop leaves when "SaveEngineLog" is on:
// compact JSON, keys in sorted order, {"log":[...],"status":N}.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Writes the document; true on success (callers ignore the result).
bool WriteEngineStatusFile(const std::string& path, int64_t status, const std::vector<std::string>& lines);
// Writes the value compactly, without a trailing line break. A file that
// cannot be opened gives false; a value that cannot be written (text that
// is not UTF-8) is logged and gives false, and the file is left untouched.
bool WriteJsonFile(const std::string& path, const nlohmann::json& value);
