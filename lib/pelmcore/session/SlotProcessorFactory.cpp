#include "session/SlotProcessorFactory.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr size_t kNameChars = 8;

struct MakerTable {
  std::mutex mutex;
  std::unordered_map<std::string, SlotProcessorMaker> makers;
};

MakerTable& Table() {
  static MakerTable table;
  return table;
}

std::string Key(const char* slotName) { return std::string(slotName, strnlen(slotName, kNameChars)); }

}  // namespace

SlotProcessorMaker RegisterSlotProcessorMaker(const char* slotName, SlotProcessorMaker maker) {
  if (!slotName) return nullptr;
  MakerTable& table = Table();
  std::lock_guard<std::mutex> hold(table.mutex);
  SlotProcessorMaker& entry = table.makers[Key(slotName)];
  SlotProcessorMaker previous = entry;
  entry = maker;
  return previous;
}

SlotProcessorMaker FindSlotProcessorMaker(const char* slotName) {
  if (!slotName) return nullptr;
  MakerTable& table = Table();
  std::lock_guard<std::mutex> hold(table.mutex);
  auto it = table.makers.find(Key(slotName));
  return it == table.makers.end() ? nullptr : it->second;
}
