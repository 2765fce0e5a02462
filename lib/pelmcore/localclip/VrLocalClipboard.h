// The local clipboard as the clipboard redirection channel sees it: it
// lists the formats local programs offer, reads their bytes, announces the
// server's formats for delayed rendering and takes the server's bytes when
// a local program asks for one. Statuses are 0 for success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The local clipboard's user (the channel). Called on the clipboard's own
// thread.
class CVrLocalClipCallback {
 public:
  virtual ~CVrLocalClipCallback() = default;
  // Another program changed the local clipboard.
  virtual void LocalClipboardChanged() = 0;
  // A local program wants the server format announced under this local
  // identifier. 0: a request has gone out and the bytes will come through
  // CVrLocalClipboard::SetData (or CVrLocalClipboard::RenderFailed).
  virtual int32_t RenderFormatRequest(uint32_t localFormat) = 0;
};

struct VrClipFormatEntry {
  uint32_t format = 0;
  std::u16string name;  // empty for a predefined format
};

struct VrClipFormatList {
  std::vector<VrClipFormatEntry> entries;
};

class CVrLocalClipboard {
 public:
  // Statuses besides 0 and the system's error codes.
  static constexpr int32_t kNameNotRegistered = 0x810002;  // AnnounceServerFormat
  static constexpr int32_t kOfferedAsFileDescriptor = 0x810004;  // FilterFormat
  static constexpr int32_t kNotOffered = -1;  // FilterFormat

  virtual ~CVrLocalClipboard() = default;

  // Keeps the callback (replacing an earlier one) and starts the clipboard's
  // thread.
  virtual int32_t Start(std::shared_ptr<CVrLocalClipCallback> callback) = 0;
  // Ends the clipboard's thread (and any render it waits for).
  virtual int32_t Stop() = 0;
  // Completes a waiting render of the format, else puts the bytes on the
  // local clipboard.
  virtual int32_t SetData(uint32_t format, const void* data, uint32_t length) = 0;
  // The server could not supply the format: a waiting render of it ends at
  // once without data. Not found: ERROR_NOT_FOUND.
  virtual int32_t RenderFailed(uint32_t format) = 0;
  // A copy of the format's bytes behind `reserved` free bytes (negative
  // counts as 0), freed with Free.
  virtual int32_t GetData(uint32_t format, uint8_t** data, uint32_t* size, int32_t reserved) = 0;
  virtual uint8_t* Alloc(uint32_t size) = 0;
  virtual void Free(void* block) = 0;
  // Brackets one server format list: the clipboard is emptied at the start
  // and the announced formats are offered at the end; these changes are not
  // reported as local changes.
  virtual int32_t BeginServerFormats() = 0;
  // `name` zero-terminated or null. The local identifier comes back in
  // *localFormat.
  virtual int32_t AnnounceServerFormat(uint32_t serverFormat, const char16_t* name,
                                       uint32_t* localFormat) = 0;
  virtual int32_t EndServerFormats() = 0;
  // The local formats offered to the server; *list is null when none
  // qualifies. Freed with FreeFormatList.
  virtual int32_t GetFormats(VrClipFormatList** list) = 0;
  virtual void FreeFormatList(VrClipFormatList* list) = 0;
  virtual uint32_t GetFileDescriptorFormat() = 0;
  // 0, kOfferedAsFileDescriptor or kNotOffered.
  virtual int32_t FilterFormat(uint32_t format) = 0;
};
