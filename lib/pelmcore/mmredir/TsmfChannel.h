// The client end of the multimedia redirection channel "TSMF" (MS-RDPEV).
// Each channel instance serves one stream of one presentation: it parses the
// server's messages on its worker, drives the presentation found by id in a
// process-wide registry shared by all instances, and answers the requests
// that want an answer, in chunks of at most 1592 bytes.
//
// Every field is read inside the received message: a message whose fixed
// fields, counts or lengths run past its end is dropped with one log line.
// Presentations belong to the session whose channel announced them; when
// the last multimedia channel of a session stops (the session's channel host
// goes), the presentations it did not shut down are shut down and removed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "mmredir/MMPresentation.h"
#include "sys/ByteReader.h"
#include "virtchan/VirtChanel.h"

namespace mmredir {

// SHARED_MSG_HEADER InterfaceIds.
constexpr uint32_t kInterfaceServerData = 0x40000000;
constexpr uint32_t kInterfaceCapabilities = 0x00000002;
constexpr uint32_t kSharedHeaderSize = 12;
constexpr uint32_t kAnswerHeaderSize = 8;

// FunctionIds.
enum TsmfFunction : uint32_t {
  kRimRelease = 0x001,
  kRimQueryInterface = 0x002,
  kExchangeCapabilities = 0x100,
  kSetChannelParams = 0x101,
  kAddStream = 0x102,
  kOnSample = 0x103,
  kSetVideoWindow = 0x104,
  kOnNewPresentation = 0x105,
  kShutdownPresentation = 0x106,
  kSetTopology = 0x107,
  kCheckFormatSupport = 0x108,
  kOnPlaybackStarted = 0x109,
  kOnPlaybackPaused = 0x10A,
  kOnPlaybackStopped = 0x10B,
  kOnPlaybackRestarted = 0x10C,
  kOnPlaybackRateChanged = 0x10D,
  kOnFlush = 0x10E,
  kOnStreamVolume = 0x10F,
  kOnChannelVolume = 0x110,
  kOnEndOfStream = 0x111,
  kSetAllocator = 0x112,
  kNotifyPreroll = 0x113,
  kUpdateGeometryInfo = 0x114,
  kRemoveStream = 0x115,
  kSetSourceVideoRect = 0x116,
};

// TSMM_CAPABILITIES types and the answer sizes.
constexpr uint32_t kCapabilityVersion = 1;
constexpr uint32_t kCapabilityPlatformCookie = 2;
constexpr uint32_t kCapabilityAudioSupport = 3;
constexpr uint32_t kCapabilityLatency = 4;
constexpr uint32_t kCapabilityEntrySize = 12;
constexpr uint32_t kShutdownResponseSize = 12;
constexpr uint32_t kRimResponseSize = 16;
constexpr uint32_t kRimCapabilityVersion = 1;

}  // namespace mmredir

class CTsmfChannel : public CCVirtChanel {
 public:
  // Makes the presentation of an id, with one reference for the registry.
  using PresentationMaker = std::function<IMMPresentation*(const uint8_t id[mmredir::kPresentationIdSize])>;

  CTsmfChannel(uint32_t serverChannelId, uint16_t index, uint32_t optionWord, SessionPtr session,
               PresentationMaker maker);
  ~CTsmfChannel() override;

  // Sends one message in chunks; returns 0.
  int32_t Write(uint32_t length, const void* data) override;
  // Not supported: logs and returns -1.
  int32_t Close() override;
  int Open(const std::shared_ptr<CCVirtChanel>& self) override;
  // Closes this channel's stream of its presentation, stops the worker and,
  // for the session's last multimedia channel, ends what the session left.
  int Stop() override;
  // One whole MS-RDPEV message.
  int OnReceive(const uint8_t* data, uint32_t length, IVirtChanSession* session,
                const std::shared_ptr<CCVirtChanel>& self) override;

  // The process-wide presentation registry.
  struct Registry;
  static Registry* GetRegistry();
  static void ReleaseRegistry(Registry* registry);
  // With a reference for the caller, or null.
  static IMMPresentation* FindPresentation(const uint8_t id[mmredir::kPresentationIdSize]);
  static void CreatePresentation(const uint8_t id[mmredir::kPresentationIdSize], const PresentationMaker& maker,
                                 const IVirtChanSession* owner);
  static void RemovePresentation(const uint8_t id[mmredir::kPresentationIdSize]);
  // Shuts down and removes every presentation `owner`'s channels announced.
  static void EndSessionPresentations(const IVirtChanSession* owner);
  static size_t PresentationCount();

  uint32_t StreamId();

 private:
  using Channel = IMMPresentation::Channel;
  // Runs `op` on the presentation of `id` when the registry holds it.
  template <class Op>
  void WithPresentation(const uint8_t id[mmredir::kPresentationIdSize], Op op);
  bool ReadId(ByteReader& r, uint8_t id[mmredir::kPresentationIdSize]);
  void OnServerDataMessage(uint32_t messageId, uint32_t functionId, ByteReader& r, uint32_t length,
                           const Channel& self);
  void OnCommand(uint32_t functionId, ByteReader& r, uint32_t length, const Channel& self);
  void OnExchangeCapabilities(uint32_t messageId, ByteReader& r, uint32_t length);
  void OnCheckFormatSupport(uint32_t messageId, ByteReader& r, uint32_t length);
  void OnRimExchangeCapability(uint32_t interfaceId, uint32_t messageId, ByteReader& r, uint32_t length);
  void OnShutdownPresentation(uint32_t messageId, ByteReader& r, uint32_t length, const Channel& self);
  void OnUpdateGeometryInfo(const uint8_t id[mmredir::kPresentationIdSize], ByteReader& r, uint32_t length,
                            const Channel& self);
  void WriteAnswer(const uint8_t* answer, uint32_t size);

  std::mutex paramsMutex_;
  uint8_t presentationId_[mmredir::kPresentationIdSize] = {};
  uint32_t streamId_ = 0;
  bool haveParams_ = false;
  const PresentationMaker maker_;
  std::atomic<bool> counted_{false};
};

// Registers the "TSMF" channel maker: its presentations play with `parts`.
void RegisterTsmfChannelMaker(MMPresentationParts parts);
