#include "virtchan/ChannelMakers.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "session/ClientConnectionParameter.h"
#include "virtchan/VirtChanWire.h"

namespace virtchan {

namespace {

bool Always(const CClientConnectionParameter*) { return true; }

const ChannelKind kKinds[] = {
    {kDeviceChannel, kDeviceGroup, Always},
    {kClipboardChannel, kClipboardGroup, ClipboardShared},
    {kMultimediaChannel, kMultimediaGroup, MultimediaRedirected},
};

struct MakerTable {
  std::mutex mutex;
  std::unordered_map<std::u16string, ChannelMaker> makers;
};

MakerTable& Table() {
  static MakerTable table;
  return table;
}

}  // namespace

const ChannelKind* FindChannelKind(const char16_t* name, size_t units) {
  const std::u16string wanted(name, units);
  for (const ChannelKind& kind : kKinds) {
    if (wanted == kind.name) return &kind;
  }
  return nullptr;
}

bool ClipboardShared(const CClientConnectionParameter* parameters) {
  return !parameters || parameters->clipboardShare != 0;
}

// Only a session that exists and asks for it redirects multimedia.
bool MultimediaRedirected(const CClientConnectionParameter* parameters) {
  return parameters && parameters->useWmpChannelRedirection != 0;
}

ChannelMaker RegisterChannelMaker(const char16_t* name, ChannelMaker maker) {
  if (!name) return nullptr;
  MakerTable& table = Table();
  std::lock_guard<std::mutex> hold(table.mutex);
  ChannelMaker& entry = table.makers[name];
  ChannelMaker previous = entry;
  entry = maker;
  return previous;
}

ChannelMaker FindChannelMaker(const char16_t* name) {
  if (!name) return nullptr;
  MakerTable& table = Table();
  std::lock_guard<std::mutex> hold(table.mutex);
  auto it = table.makers.find(name);
  return it == table.makers.end() ? nullptr : it->second;
}

}  // namespace virtchan
