#include "virtchan/ChannelRDPCLIP.h"

#include <new>
#include <utility>

#include "localclip/WindowsClipboard.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "sys/klog.h"
#include "virtchan/ChannelMakers.h"

using namespace cliprdr;

namespace {

ChannelRDPCLIP::LocalClipboardPtr MakeWindowsClipboard() {
  CWindowsClipboard* clipboard = new (std::nothrow) CWindowsClipboard;
  if (!clipboard) return nullptr;
  return ChannelRDPCLIP::LocalClipboardPtr(clipboard, [](CVrLocalClipboard* c) {
    static_cast<CWindowsClipboard*>(c)->Release();
  });
}

std::atomic<ChannelRDPCLIP::LocalClipboardMaker> gLocalClipboardMaker{MakeWindowsClipboard};

// The name that starts at the reader: its units up to the terminator, which
// is consumed. False when no terminator comes before the end.
bool ReadName(ByteReader& r, std::u16string* name) {
  name->clear();
  while (r.Remaining() >= 2) {
    const char16_t unit = r.U16();
    if (unit == 0) return true;
    name->push_back(unit);
  }
  return false;
}

}  // namespace

ChannelRDPCLIP::LocalClipboardMaker ChannelRDPCLIP::SetLocalClipboardMaker(LocalClipboardMaker maker) {
  return gLocalClipboardMaker.exchange(maker ? maker : MakeWindowsClipboard);
}

ChannelRDPCLIP::ChannelRDPCLIP(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session)
    : CCVirtChanel(serverChannelId, index, optionWord, std::move(session)) {}

ChannelRDPCLIP::~ChannelRDPCLIP() = default;

int ChannelRDPCLIP::Open(const std::shared_ptr<CCVirtChanel>& self) {
  LocalClipboardPtr clipboard = gLocalClipboardMaker.load()();
  std::shared_ptr<CRDPClipBoardCallback> callback;
  if (clipboard) {
    callback = std::make_shared<CRDPClipBoardCallback>(std::static_pointer_cast<ChannelRDPCLIP>(self));
    {
      std::lock_guard<std::recursive_mutex> hold(clipboardMutex_);
      localClipboard_ = clipboard;
    }
    clipboard->Start(callback);
  } else {
    LogMessageA("ChannelRDPCLIP::Open: no local clipboard; the server's formats stay remote");
  }
  return CCVirtChanel::Open(self);
}

int ChannelRDPCLIP::Stop() {
  stopped_.store(true);
  LocalClipboardPtr clipboard;
  {
    std::lock_guard<std::recursive_mutex> hold(clipboardMutex_);
    clipboard.swap(localClipboard_);
  }
  if (clipboard) {
    clipboard->Stop();
    clipboard.reset();
  }
  return CCVirtChanel::Stop();
}

ChannelRDPCLIP::LocalClipboardPtr ChannelRDPCLIP::LocalClipboard() {
  std::lock_guard<std::recursive_mutex> hold(clipboardMutex_);
  return localClipboard_;
}

int ChannelRDPCLIP::OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession*,
                              const std::shared_ptr<CCVirtChanel>&) {
  ByteReader r(data, length);
  Header header;
  header.type = r.U16();
  header.flags = r.U16();
  header.dataLength = r.U32();
  if (!r.Ok()) {
    LogMessageA("ChannelRDPCLIP: a PDU of %u bytes has no header; dropped", length);
    return 0;
  }
  if (header.dataLength > r.Remaining()) {
    LogMessageA("ChannelRDPCLIP: PDU %u states %u data bytes, %u came; dropped", unsigned{header.type},
                header.dataLength, unsigned(r.Remaining()));
    return 0;
  }
  const uint8_t* body = data + kHeaderSize;
  switch (header.type) {
    case kMonitorReady:
      SendCapabilities();
      RefreshLocalFormats();
      SendFormatList();
      break;
    case kFormatList:
      OnFormatList(header, body);
      break;
    case kFormatListResponse:
      break;
    case kFormatDataRequest:
      OnFormatDataRequest(body, header.dataLength);
      break;
    case kFormatDataResponse:
      OnFormatDataResponse(header, body);
      break;
    case kClipCaps:
      OnCapabilities(body, header.dataLength);
      break;
    case kFileContentsRequest:
      OnFileContentsRequest(body, header.dataLength);
      break;
    default:
      break;
  }
  return 0;
}

// ---------------------------------------------------------------- sending

bool ChannelRDPCLIP::SendPdu(uint16_t type, uint16_t flags, const uint8_t* data, uint32_t dataLength) {
  uint8_t header[kHeaderSize];
  ByteWriter w(header, sizeof header);
  w.U16(type);
  w.U16(flags);
  w.U32(dataLength);
  SendChunked(header, sizeof header, data, dataLength, virtchan::kClipboardChunk);
  return true;
}

void ChannelRDPCLIP::SendCapabilities() {
  uint8_t data[4 + kGeneralSetSize];
  ByteWriter w(data, sizeof data);
  w.U16(1);  // one set
  w.U16(0);
  w.U16(kCapsTypeGeneral);
  w.U16(kGeneralSetSize);
  w.U32(clientCapsVersion_);
  w.U32(clientGeneralFlags_ & kKnownGeneralFlags);
  SendPdu(kClipCaps, 0, data, sizeof data);
}

void ChannelRDPCLIP::RefreshLocalFormats() {
  LocalClipboardPtr clipboard = LocalClipboard();
  if (!clipboard) return;
  VrClipFormatList* list = nullptr;
  if (clipboard->GetFormats(&list) != 0) return;
  {
    std::lock_guard<std::recursive_mutex> hold(localFormatMutex_);
    localFormats_.clear();
    if (list) {
      for (const VrClipFormatEntry& entry : list->entries) {
        std::shared_ptr<CClipFormat> format(new (std::nothrow) CClipFormat);
        if (!format) continue;
        format->format = entry.format;
        format->name = entry.name;
        localFormats_.push_back(std::move(format));
      }
    }
  }
  if (list) clipboard->FreeFormatList(list);
}

void ChannelRDPCLIP::SendFormatList() {
  std::lock_guard<std::recursive_mutex> hold(localFormatMutex_);
  uint64_t size = 0;
  for (const auto& format : localFormats_) size += 4 + 2 * (uint64_t{format->name.size()} + 1);
  if (size > UINT32_MAX - kHeaderSize) return;
  std::vector<uint8_t> data;
  try {
    data.resize(size);
  } catch (const std::bad_alloc&) {
    LogMessageA("ChannelRDPCLIP: format list of %u bytes not sent, no memory", unsigned(size));
    return;
  }
  ByteWriter w(data.data(), data.size());
  for (const auto& format : localFormats_) {
    w.U32(format->format);
    for (char16_t unit : format->name) w.U16(unit);
    w.U16(0);
  }
  SendPdu(kFormatList, 0, data.data(), static_cast<uint32_t>(data.size()));
}

// ---------------------------------------------------------------- receiving

void ChannelRDPCLIP::OnCapabilities(const uint8_t* data, uint32_t dataLength) {
  ByteReader r(data, dataLength);
  const uint16_t count = r.U16();
  r.Skip(2);
  for (uint16_t i = 0; i < count && r.Ok(); ++i) {
    const size_t start = r.Position();
    const uint16_t type = r.U16();
    const uint16_t setLength = r.U16();
    if (!r.Ok() || setLength < 4 || setLength > dataLength - start) {
      LogMessageA("ChannelRDPCLIP: capability set %u runs past its PDU; the rest is ignored", unsigned{i});
      return;
    }
    ByteReader set(data + start + 4, setLength - 4u);
    if (type == kCapsTypeGeneral) {
      set.U32();  // version
      const uint32_t flags = set.U32();
      if (set.Ok()) serverGeneralFlags_.fetch_or(flags & kKnownGeneralFlags);
    }
    r.Skip(setLength - 4u);
  }
}

void ChannelRDPCLIP::OnFormatList(const Header& header, const uint8_t* data) {
  uint16_t response = kResponseOk;
  LocalClipboardPtr clipboard = LocalClipboard();
  std::lock_guard<std::recursive_mutex> hold(serverFormatMutex_);
  serverFormats_.clear();
  if ((serverGeneralFlags_.load() & kUseLongFormatNames) && !(header.flags & kAsciiNames)) {
    if (clipboard) clipboard->BeginServerFormats();
    ByteReader r(data, header.dataLength);
    while (r.Remaining() > 4) {
      const uint32_t id = r.U32();
      std::u16string name;
      if (!ReadName(r, &name)) {
        LogMessageA("ChannelRDPCLIP: format 0x%x has an unterminated name; the rest of the list is ignored", id);
        response = kResponseFail;
        break;
      }
      std::shared_ptr<CClipFormat> format(new (std::nothrow) CClipFormat);
      if (!format) {
        response = kResponseFail;
        continue;
      }
      format->format = id;
      format->name = std::move(name);
      uint32_t local = 0;
      if (clipboard &&
          clipboard->AnnounceServerFormat(id, format->name.empty() ? nullptr : format->name.c_str(), &local) == 0)
        format->localFormat = local;
      serverFormats_.push_back(std::move(format));
    }
    if (clipboard) clipboard->EndServerFormats();
  }
  clipboard.reset();
  SendPdu(kFormatListResponse, response, nullptr, 0);
}

void ChannelRDPCLIP::OnFormatDataRequest(const uint8_t* data, uint32_t dataLength) {
  ByteReader r(data, dataLength);
  const uint32_t format = r.U32();
  LocalClipboardPtr clipboard = LocalClipboard();
  if (!r.Ok() || !clipboard) {
    SendPdu(kFormatDataResponse, kResponseFail, nullptr, 0);
    return;
  }
  // No file is served: a file list the server could not fetch from is
  // refused rather than announced empty.
  if (format == clipboard->GetFileDescriptorFormat()) {
    SendPdu(kFormatDataResponse, kResponseFail, nullptr, 0);
    return;
  }
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (clipboard->GetData(format, &bytes, &size, 0) != 0) {
    SendPdu(kFormatDataResponse, kResponseFail, nullptr, 0);
    return;
  }
  SendPdu(kFormatDataResponse, kResponseOk, bytes, bytes ? size : 0);
  if (bytes) clipboard->Free(bytes);
}

void ChannelRDPCLIP::OnFormatDataResponse(const Header& header, const uint8_t* data) {
  const uint32_t local = ServerToLocalFormat(requestedFormat_.exchange(0));
  LocalClipboardPtr clipboard = LocalClipboard();
  if (!clipboard) return;
  if (header.flags & kResponseOk)
    clipboard->SetData(local, data, header.dataLength);
  else if (local != 0)
    clipboard->RenderFailed(local);  // the waiting render ends without data
}

void ChannelRDPCLIP::OnFileContentsRequest(const uint8_t* data, uint32_t dataLength) {
  // Files are not served; the server hears so at once instead of waiting.
  ByteReader r(data, dataLength);
  uint8_t streamId[kStreamIdSize] = {};
  r.Bytes(streamId, sizeof streamId);
  SendPdu(kFileContentsResponse, kResponseFail, streamId, sizeof streamId);
}

// ---------------------------------------------------------------- local side

void ChannelRDPCLIP::LocalClipboardChanged() {
  if (stopped_.load()) return;
  RefreshLocalFormats();
  SendFormatList();
}

int32_t ChannelRDPCLIP::RenderFormatRequest(uint32_t localFormat) {
  if (stopped_.load()) return kChannelGone;
  const uint32_t server = LocalToServerFormat(localFormat);
  if (server == 0) return kNoServerFormat;
  requestedFormat_.store(server);
  uint8_t data[4];
  ByteWriter w(data, sizeof data);
  w.U32(server);
  SendPdu(kFormatDataRequest, 0, data, sizeof data);
  return 0;
}

uint32_t ChannelRDPCLIP::ServerToLocalFormat(uint32_t serverFormat) {
  std::lock_guard<std::recursive_mutex> hold(serverFormatMutex_);
  for (const auto& format : serverFormats_) {
    if (format->format == serverFormat && format->localFormat != 0) return format->localFormat;
  }
  return serverFormat <= kLastPredefinedFormat ? serverFormat : 0;
}

uint32_t ChannelRDPCLIP::LocalToServerFormat(uint32_t localFormat) {
  std::lock_guard<std::recursive_mutex> hold(serverFormatMutex_);
  for (const auto& format : serverFormats_) {
    if (format->localFormat == localFormat && format->localFormat != 0) return format->format;
  }
  return localFormat <= kLastPredefinedFormat ? localFormat : 0;
}

std::vector<CClipFormat> ChannelRDPCLIP::ServerFormats() {
  std::lock_guard<std::recursive_mutex> hold(serverFormatMutex_);
  std::vector<CClipFormat> out;
  for (const auto& format : serverFormats_) out.push_back(*format);
  return out;
}

// ---------------------------------------------------------------- callback

void CRDPClipBoardCallback::LocalClipboardChanged() {
  if (channel_) channel_->LocalClipboardChanged();
}

int32_t CRDPClipBoardCallback::RenderFormatRequest(uint32_t localFormat) {
  return channel_ ? channel_->RenderFormatRequest(localFormat) : ChannelRDPCLIP::kChannelGone;
}

namespace virtchan {

void RegisterClipboardChannelMaker() {
  RegisterChannelMaker(kClipboardChannel, [](const ChannelMakeContext& c) -> std::shared_ptr<CCVirtChanel> {
    std::shared_ptr<ChannelRDPCLIP> channel(new (std::nothrow)
                                                ChannelRDPCLIP(c.serverChannelId, c.index, c.optionWord, c.session));
    return channel;
  });
}

}  // namespace virtchan
