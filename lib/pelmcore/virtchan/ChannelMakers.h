// The channel kinds the host knows and the makers other parts of the
// program plug in. A kind is a channel name with the channel-group bits its
// option word is cut from and the setting that lets it open; a kind without
// a maker opens nothing, as an unknown name does.
#pragma once

#include <cstdint>
#include <memory>

#include "virtchan/VirtChanSession.h"

class CCVirtChanel;
class CClientConnectionParameter;

namespace virtchan {

struct ChannelMakeContext {
  uint32_t serverChannelId;
  uint16_t index;
  uint32_t optionWord;
  std::shared_ptr<IVirtChanSession> session;
};

// A new channel, not yet opened, or null.
typedef std::shared_ptr<CCVirtChanel> (*ChannelMaker)(const ChannelMakeContext& context);

struct ChannelKind {
  const char16_t* name;  // compared exactly, terminator included
  uint32_t groupMask;
  // True when the session lets this kind open (parameters may be null).
  bool (*allowed)(const CClientConnectionParameter* parameters);
};

constexpr char16_t kDeviceChannel[] = u"RDPDR";
constexpr char16_t kClipboardChannel[] = u"CLIPRDR";
constexpr char16_t kMultimediaChannel[] = u"TSMF";

// The kind of a name of `units` UTF-16 units (no terminator), or null.
const ChannelKind* FindChannelKind(const char16_t* name, size_t units);

bool ClipboardShared(const CClientConnectionParameter* parameters);
bool MultimediaRedirected(const CClientConnectionParameter* parameters);

// Registers the maker of a kind by its name; null removes it. Answers the
// maker it replaced. Safe on any thread.
ChannelMaker RegisterChannelMaker(const char16_t* name, ChannelMaker maker);
ChannelMaker FindChannelMaker(const char16_t* name);

}  // namespace virtchan
