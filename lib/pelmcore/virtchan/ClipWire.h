// The clipboard redirection protocol's records (MS-RDPECLIP): the 8-byte
// CLIPRDR_HEADER in front of every PDU, the message types and flags this
// client reads or writes, and the general capability set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cliprdr {

constexpr size_t kHeaderSize = 8;

constexpr uint16_t kMonitorReady = 1;
constexpr uint16_t kFormatList = 2;
constexpr uint16_t kFormatListResponse = 3;
constexpr uint16_t kFormatDataRequest = 4;
constexpr uint16_t kFormatDataResponse = 5;
constexpr uint16_t kTempDirectory = 6;
constexpr uint16_t kClipCaps = 7;
constexpr uint16_t kFileContentsRequest = 8;
constexpr uint16_t kFileContentsResponse = 9;

constexpr uint16_t kResponseOk = 0x0001;
constexpr uint16_t kResponseFail = 0x0002;
constexpr uint16_t kAsciiNames = 0x0004;

constexpr uint16_t kCapsTypeGeneral = 1;
constexpr uint16_t kGeneralSetSize = 12;
constexpr uint32_t kCapsVersion2 = 2;
constexpr uint32_t kUseLongFormatNames = 0x02;
constexpr uint32_t kStreamFileClipEnabled = 0x04;
constexpr uint32_t kFileClipNoFilePaths = 0x08;
constexpr uint32_t kCanLockClipData = 0x10;
constexpr uint32_t kKnownGeneralFlags = kUseLongFormatNames | kStreamFileClipEnabled | kFileClipNoFilePaths | kCanLockClipData;

// A file contents request begins with its stream id.
constexpr size_t kStreamIdSize = 4;

// Predefined clipboard formats keep their identifiers on both sides.
constexpr uint32_t kLastPredefinedFormat = 17;

struct Header {
  uint16_t type = 0;
  uint16_t flags = 0;
  uint32_t dataLength = 0;
};

}  // namespace cliprdr
