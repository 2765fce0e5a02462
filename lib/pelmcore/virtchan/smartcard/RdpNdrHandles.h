// The decoding handle and the encoding buffer through which the smart-card
// operations turn request bytes into call structures and return structures
// into reply bytes. Results are 0 or a code of the NDR fault table.
#pragma once

#include <cstdint>
#include <vector>

#include "RdpNdr.h"
#include "RdpScardStructs.h"

class CRdpNdrDecodeHandle {
 public:
  // Keeps the buffer (not owned); a null buffer of some length leaves the
  // handle closed. An empty buffer opens and fails to decode.
  void Open(const uint8_t* buffer, uint32_t length) {
    *this = CRdpNdrDecodeHandle();
    if (!buffer && length) return;
    open_ = true;
    buffer_ = buffer;
    length_ = length;
  }

  template <class T>
  uint32_t Decode(T& out) {
    if (!open_) return rdpesc::CodeOf(rdpesc::NdrFault::kNoHandle);
    const uint32_t e = rdpesc::NdrDecode(buffer_, length_, out);
    if (e == 0) decodedTag_ = T::kTag;
    return e;
  }

  // Releases what the decode of this very structure allocated; after a
  // failed decode, a decode of another structure or a first free, nothing.
  template <class T>
  void Free(T& s) {
    if (decodedTag_ != T::kTag || decodedTag_ == 0) return;
    decodedTag_ = 0;
    s = T();
  }

  void Close() { open_ = false; }

  uint32_t DecodedTag() const { return decodedTag_; }

 private:
  uint32_t decodedTag_ = 0;
  bool open_ = false;
  const uint8_t* buffer_ = nullptr;
  uint32_t length_ = 0;
};

class CRdpNdrEncodeBuffer {
 public:
  void Open() { bytes_.clear(); }

  template <class T>
  uint32_t Encode(const T& s) {
    // The writer walks the same description as the reader, which takes
    // references it may fill; it reads them only.
    return rdpesc::NdrEncode(const_cast<T&>(s), bytes_);
  }
  uint32_t EncodeLongReturn(uint32_t returnCode) {
    rdpesc::Long_Return r;
    r.ReturnCode = returnCode;
    return Encode(r);
  }

  const uint8_t* Buffer() const { return bytes_.data(); }
  uint32_t Length() const { return static_cast<uint32_t>(bytes_.size()); }

  void Close() {
    bytes_.clear();
    bytes_.shrink_to_fit();
  }

 private:
  std::vector<uint8_t> bytes_;
};
