// Where a session connects and how it looks and behaves: built by the
// application from the settings and the launch file, read by the session
// client.
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"
#include "sys/FixedText.h"

constexpr uint32_t kDefaultServerPort = 27605;
constexpr size_t kCredentialChars = 64;
constexpr size_t kDeviceNameBytes = 32;
constexpr size_t kProxyUrlBytes = 512;

// Display sizes travel in 16-bit fields (the profile, the second display,
// the server's mode orders); 0 leaves the choice to the defaults.
constexpr int64_t kMaxDisplaySide = 0xFFFF;
inline bool DisplaySideInRange(int64_t side) { return side >= 0 && side <= kMaxDisplaySide; }
inline bool ColorDepthAllowed(int64_t depth) { return depth == 8 || depth == 16 || depth == 24 || depth == 32; }

class CClientConnectionParameter {
 public:
  CClientConnectionParameter();  // all fields zero
  ~CClientConnectionParameter();  // wipes the password

  uint32_t encryptionMode = 0;
  uint32_t connectionKind = 0;
  uint32_t minimalSlots = 0;
  WCHAR groupName[kFieldChars] = {};
  WCHAR serverAddress[kFieldChars] = {};
  uint32_t port = 0;
  WCHAR userName[kCredentialChars] = {};
  WCHAR password[kCredentialChars] = {};
  WCHAR domain[kFieldChars] = {};
  WCHAR programPath[kFieldChars] = {};
  WCHAR workingDir[kFieldChars] = {};
  uint32_t startProgram = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t colorDepth = 0;
  uint32_t useSound = 0;
  uint32_t vorbisSupport = 0;
  uint32_t autoLogon = 0;
  uint32_t encryptionLevel = 0;
  uint32_t keyExchangeWord = 0;
  uint32_t useWanNetwork = 0;
  uint32_t nameMode = 0;
  uint32_t clipboardShare = 0;
  uint32_t useColorCursor = 0;
  uint32_t dsFormatsSupport = 0;
  uint32_t dxva2Support = 0;
  uint32_t extraDisplayCount = 0;  // 0 or 1
  struct {
    uint16_t width;
    uint16_t height;
  } display2Size = {};
  struct {
    int16_t x;
    int16_t y;
  } display2Origin = {};  // relative to display 1's top-left corner
  uint32_t useAudioVideoSynch = 0;
  uint32_t vorbisAudioQuality = 0;
  uint32_t audioThreadPriority = 0;
  uint32_t maxKbPerSec = 0;
  uint32_t dumpTransferEveryMillisec = 0;
  uint32_t flushCommandState = 0;
  uint32_t dataSlicerMode = 0;
  uint32_t useAsyncMovieSlotProc = 0;
  uint32_t useUniqueMovieFrames = 0;
  uint32_t vlcVideoDecoderSupport = 0;
  uint32_t useWmpChannelRedirection = 0;
  uint8_t autoDisconnect = 0;
  char UserDeviceName[kDeviceNameBytes] = {};
  char proxy_url[kProxyUrlBytes] = {};
};
