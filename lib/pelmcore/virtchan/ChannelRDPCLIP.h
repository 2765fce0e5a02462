// The client end of the clipboard redirection channel "CLIPRDR": monitor
// ready, general capabilities, format lists with long names, list
// responses, data requests and responses. Formats are announced first in
// both directions; data moves only when a program asks for it.
//
// Every PDU field is read inside the received bytes: a PDU whose dataLen,
// capability set length or format name runs past them is cut there.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "localclip/VrLocalClipboard.h"
#include "virtchan/ClipWire.h"
#include "virtchan/VirtChanel.h"

// One clipboard format the channel knows of.
struct CClipFormat {
  uint32_t format = 0;       // the server's (server list) or the local (local list) identifier
  uint32_t localFormat = 0;  // server formats: the identifier the local clipboard gave it
  std::u16string name;       // empty: no name
};

class ChannelRDPCLIP : public CCVirtChanel, public CVrLocalClipCallback {
 public:
  // Long format names and no file paths; not file streaming, since no file
  // contents are served.
  static constexpr uint32_t kClientGeneralFlags = cliprdr::kUseLongFormatNames | cliprdr::kFileClipNoFilePaths;
  static constexpr int32_t kNoServerFormat = 0x810002;
  static constexpr int32_t kChannelGone = static_cast<int32_t>(0x80000200);

  using LocalClipboardPtr = std::shared_ptr<CVrLocalClipboard>;
  // Makes the local clipboard the channel works with; the default makes a
  // CWindowsClipboard.
  typedef LocalClipboardPtr (*LocalClipboardMaker)();
  static LocalClipboardMaker SetLocalClipboardMaker(LocalClipboardMaker maker);

  ChannelRDPCLIP(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session);
  ~ChannelRDPCLIP() override;

  // Makes and starts the local clipboard, then the worker.
  int Open(const std::shared_ptr<CCVirtChanel>& self) override;
  // Stops the local clipboard (no callback reaches the channel after it
  // returns), then the worker.
  int Stop() override;
  int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession* session,
                const std::shared_ptr<CCVirtChanel>& self) override;

  // The local clipboard's calls, on its thread.
  void LocalClipboardChanged() override;
  int32_t RenderFormatRequest(uint32_t localFormat) override;

  uint32_t ServerToLocalFormat(uint32_t serverFormat);
  uint32_t LocalToServerFormat(uint32_t localFormat);
  uint32_t ServerGeneralFlags() const { return serverGeneralFlags_.load(); }
  uint32_t RequestedFormat() const { return requestedFormat_.load(); }
  std::vector<CClipFormat> ServerFormats();

 private:
  bool SendPdu(uint16_t type, uint16_t flags, const uint8_t* data, uint32_t dataLength);
  void SendCapabilities();
  void RefreshLocalFormats();
  void SendFormatList();
  void OnFormatList(const cliprdr::Header& header, const uint8_t* data);
  void OnFormatDataRequest(const uint8_t* data, uint32_t dataLength);
  void OnFormatDataResponse(const cliprdr::Header& header, const uint8_t* data);
  void OnCapabilities(const uint8_t* data, uint32_t dataLength);
  void OnFileContentsRequest(const uint8_t* data, uint32_t dataLength);
  LocalClipboardPtr LocalClipboard();

  std::recursive_mutex clipboardMutex_;
  std::atomic<uint32_t> requestedFormat_{0};
  LocalClipboardPtr localClipboard_;
  std::atomic<bool> stopped_{false};
  std::atomic<uint32_t> serverGeneralFlags_{0};
  const uint32_t clientGeneralFlags_ = kClientGeneralFlags;
  const uint32_t clientCapsVersion_ = cliprdr::kCapsVersion2;
  std::recursive_mutex localFormatMutex_;
  std::recursive_mutex serverFormatMutex_;
  std::vector<std::shared_ptr<CClipFormat>> localFormats_;
  std::vector<std::shared_ptr<CClipFormat>> serverFormats_;
};

// The local clipboard's callback: forwards to its channel, which it keeps
// alive for as long as the local clipboard keeps the callback.
class CRDPClipBoardCallback : public CVrLocalClipCallback {
 public:
  explicit CRDPClipBoardCallback(std::shared_ptr<ChannelRDPCLIP> channel) : channel_(std::move(channel)) {}
  void LocalClipboardChanged() override;
  int32_t RenderFormatRequest(uint32_t localFormat) override;

 private:
  std::shared_ptr<ChannelRDPCLIP> channel_;
};

namespace virtchan {
// Registers the clipboard channel's maker under "CLIPRDR".
void RegisterClipboardChannelMaker();
}  // namespace virtchan
