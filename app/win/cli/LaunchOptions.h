// The options read straight from the argument list before anything else is
// built, and the launch file that "-x" names: a JSON document written by
// the program that starts this one.
#pragma once

#include <ios>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pelplat/wintypes.h"

class CLaunchOptions {
 public:
  // Fills the record from the arguments (program path included). Only the
  // first call on a record does anything.
  void Scan(int argc, char** argv);

  // The parsed file, or null when it cannot be opened or parsed (a parse
  // error is logged).
  // Launch files above this size are refused unread.
  static constexpr std::streamoff kMaxLaunchFileBytes = 1 << 20;
  static nlohmann::json LoadJsonFile(const std::string& path);

  uint8_t scanned = 0;
  uint8_t dual = 0;      // "-dual"
  uint8_t noTovix = 0;   // "-no-tovix"
  std::string address;   // "-a"
  std::string port;      // "-p"
  std::string jsonPath;  // "-x"
  uint8_t jsonFlag = 0;  // "-x" was given with a value, read or not
  nlohmann::json json;   // null without a usable file
};

// The process-wide record.
void ScanLaunchOptions(int argc, char** argv);
const CLaunchOptions& GetLaunchOptions();
bool IsTovixDisabled();

// Launch-file accessors. Each looks a key up in the given object; a missing
// key is never an error for the caller.
//
// The number as a 32-bit integer, or the default when the key is missing.
// Throws std::runtime_error("cannot use at()") when the object is not an
// object or the value is not a number that fits 32 bits.
int GetJsonInt(const nlohmann::json& object, const char* key, int defaultValue);
// The value when it is a boolean; otherwise the default.
bool GetJsonBool(const nlohmann::json& object, const char* key, bool defaultValue);
// The text when the value is a string; otherwise empty.
std::string GetJsonMiscText(const nlohmann::json& object, const char* key);
// Clears the buffer, then, when the value is a string, stores it decoded
// from UTF-8 and cut to capacity - 1 characters without splitting a
// character. capacity > 0.
void GetJsonTextW(WCHAR* buffer, size_t capacity, const nlohmann::json& object, const char* key);
// GetJsonBool on "Pellum"."misc" of a whole launch document; the default
// when the document or those objects are missing.
bool GetJsonMiscFlag(const nlohmann::json& json, const char* key, bool defaultValue);
// "Pellum"."server"."address", or empty.
std::string GetLaunchServerAddress(const nlohmann::json& json);
// The strings of "Pellum"."server"."srvgroup" in array order, or an empty
// list when anything about it is wrong.
std::vector<std::string> GetLaunchServerGroup(const nlohmann::json& json);

// Copies an 8-bit launch-file text into a fixed field of capacity bytes,
// cut on a UTF-8 character boundary and zero-terminated.
void CopyLaunchText(char* field, size_t capacity, const std::string& text);
