// One presentation redirected from the server's media player: its streams,
// the media source that shows them to Media Foundation and the player that
// plays them in a child window of the session window. The multimedia
// channel drives it through IMMPresentation, from the workers of several
// channel instances at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "mmredir/RdpMMStream.h"
#include "mmredir/RdpMMVrPlayer.h"
#include "mmredir/VrRdpMediaSource.h"
#include "pelplat/winuser.h"

class CCVirtChanel;
class CVrMFStream;

namespace mmredir {

constexpr size_t kPresentationIdSize = 16;

// SET_TOPOLOGY_RSP and the presentation's CLIENT_EVENT_NOTIFICATIONs.
constexpr uint32_t kInterfaceStub = 0x80000000;
constexpr uint32_t kInterfaceProxy = 0x40000001;
constexpr uint32_t kClientEventNotification = 0x101;
constexpr uint32_t kEventStopCompleted = 200;
constexpr uint32_t kEventStartCompleted = 201;
constexpr uint32_t kTopologyResponseSize = 16;
constexpr uint32_t kEventNotificationSize = 24;

// GEOMETRY_INFO as the presentation reads it.
constexpr uint32_t kGeometrySize = 44;
constexpr uint32_t kGeometryPaddedSize = 48;
constexpr uint32_t kWindowDeleted = 0x2;
constexpr uint32_t kVisibleRectSize = 16;

// CHECK_FORMAT_SUPPORT_RSP.
constexpr uint32_t kCheckFormatResponseSize = 20;
constexpr uint32_t kPlatformCookieMF = 1;

// Probes a TS_AM_MEDIA_TYPE with a temporary stream: true when a local
// decoder takes it.
bool ProbeMediaFormat(uint32_t count, const uint8_t* mediaType);
// The 20-byte answer to a format check.
void WriteCheckFormatAnswer(uint8_t out[kCheckFormatResponseSize], uint32_t messageId, bool supported);

}  // namespace mmredir

// The player and media source a presentation plays with. Empty makers make
// nothing: such a presentation keeps streams but has no player or source,
// and the commands that need them do nothing.
struct MMPresentationParts {
  // A player with one reference for the caller, its video window a child of
  // `parent`, over display `displayIndex`, playing sound only with `sound`;
  // or null.
  std::function<IRdpMMVrPlayer*(HWND parent, int32_t displayIndex, bool sound)> player;
  // A media source with one reference for the caller, or null.
  std::function<IVrRdpMediaSource*()> source;
};

class IMMPresentation {
 public:
  using Channel = std::shared_ptr<CCVirtChanel>;

  virtual ~IMMPresentation() = default;
  virtual int32_t AddRef() = 0;
  // At 0 the presentation is deleted.
  virtual int32_t Release() = 0;
  virtual bool IsPresentation(const uint8_t id[mmredir::kPresentationIdSize]) = 0;

  // Every command gets the channel that delivered it: answers and
  // notifications go out on it.
  virtual int32_t OnSample(Channel channel, uint32_t streamId, const uint8_t* sample, uint32_t count) = 0;
  virtual int32_t OnNotifyPreroll(Channel channel, uint32_t streamId) = 0;
  virtual int32_t OnChannelVolume(Channel channel, uint32_t channelVolume, uint32_t changedChannel) = 0;
  virtual int32_t OnSetAllocatorProps(Channel channel, uint32_t streamId, uint32_t cBuffers, uint32_t cbBuffer,
                                      uint32_t cbAlign, uint32_t cbPrefix) = 0;
  virtual int32_t OnSetChannelParameters(Channel channel, uint32_t value) = 0;
  virtual int32_t OnCheckFormatSupportRequest(Channel channel, uint32_t platformCookie, uint32_t noRolloverFlags,
                                              uint32_t count, const uint8_t* mediaType) = 0;
  virtual int32_t OnAddStream(Channel channel, uint32_t streamId, uint32_t count, const uint8_t* mediaType) = 0;
  virtual int32_t OnSetTopologyRequest(Channel channel, uint32_t messageId) = 0;
  virtual int32_t OnSetVideoWindow(Channel channel, uint32_t a, uint32_t b, uint32_t c, uint32_t d) = 0;
  virtual int32_t OnSetSourceVideoRect(Channel channel, uint32_t left, uint32_t top, uint32_t right,
                                       uint32_t bottom) = 0;
  virtual int32_t OnNewPresentation(Channel channel, uint32_t platformCookie) = 0;
  virtual int32_t OnShutdownPresentation(Channel channel) = 0;
  virtual int32_t OnPlaybackStarted(Channel channel, uint64_t startOffset, uint32_t isSeek) = 0;
  virtual int32_t OnPlaybackPaused(Channel channel) = 0;
  virtual int32_t OnPlaybackStopped(Channel channel) = 0;
  virtual int32_t OnPlaybackRestarted(Channel channel) = 0;
  virtual int32_t OnPlaybackRateChanged(Channel channel, float newRate) = 0;
  virtual int32_t OnStreamVolume(Channel channel, uint32_t newVolume, uint32_t muted) = 0;
  virtual int32_t OnFlush(Channel channel, uint32_t streamId) = 0;
  // geometry: `geometrySize` (44 or 48) bytes of GEOMETRY_INFO; rectangles:
  // `cbVisibleRect` bytes of TS_RECT entries. Both lie inside the message.
  virtual int32_t OnUpdateGeometryInfo(Channel channel, uint32_t geometrySize, const uint8_t* geometry,
                                       uint32_t cbVisibleRect, const uint8_t* rectangles) = 0;
  virtual int32_t OnEndOfStream(Channel channel, uint32_t streamId) = 0;
  virtual int32_t OnRemoveStream(Channel channel, uint32_t streamId) = 0;
  virtual int32_t OnCloseChannel(uint32_t streamId) = 0;
};

class CMMPresentation final : public IMMPresentation {
 public:
  // Where the video window's parent comes from: the session window of a
  // display, as the system API of the session names it (0 when none).
  using DisplayWindowLookup = std::function<HWND(const Channel& channel, int32_t display)>;

  CMMPresentation(const uint8_t id[mmredir::kPresentationIdSize], MMPresentationParts parts);

  // The lookup every presentation uses; an empty function restores the one
  // that asks the delivering channel's session. Answers the one replaced.
  static DisplayWindowLookup SetDisplayWindowLookup(DisplayWindowLookup lookup);

  int32_t AddRef() override;
  int32_t Release() override;
  bool IsPresentation(const uint8_t id[mmredir::kPresentationIdSize]) override;

  int32_t OnSample(Channel channel, uint32_t streamId, const uint8_t* sample, uint32_t count) override;
  int32_t OnNotifyPreroll(Channel channel, uint32_t streamId) override;
  int32_t OnChannelVolume(Channel channel, uint32_t channelVolume, uint32_t changedChannel) override;
  int32_t OnSetAllocatorProps(Channel channel, uint32_t streamId, uint32_t cBuffers, uint32_t cbBuffer,
                              uint32_t cbAlign, uint32_t cbPrefix) override;
  int32_t OnSetChannelParameters(Channel channel, uint32_t value) override;
  int32_t OnCheckFormatSupportRequest(Channel channel, uint32_t platformCookie, uint32_t noRolloverFlags,
                                      uint32_t count, const uint8_t* mediaType) override;
  int32_t OnAddStream(Channel channel, uint32_t streamId, uint32_t count, const uint8_t* mediaType) override;
  int32_t OnSetTopologyRequest(Channel channel, uint32_t messageId) override;
  int32_t OnSetVideoWindow(Channel channel, uint32_t a, uint32_t b, uint32_t c, uint32_t d) override;
  int32_t OnSetSourceVideoRect(Channel channel, uint32_t left, uint32_t top, uint32_t right, uint32_t bottom) override;
  int32_t OnNewPresentation(Channel channel, uint32_t platformCookie) override;
  int32_t OnShutdownPresentation(Channel channel) override;
  int32_t OnPlaybackStarted(Channel channel, uint64_t startOffset, uint32_t isSeek) override;
  int32_t OnPlaybackPaused(Channel channel) override;
  int32_t OnPlaybackStopped(Channel channel) override;
  int32_t OnPlaybackRestarted(Channel channel) override;
  int32_t OnPlaybackRateChanged(Channel channel, float newRate) override;
  int32_t OnStreamVolume(Channel channel, uint32_t newVolume, uint32_t muted) override;
  int32_t OnFlush(Channel channel, uint32_t streamId) override;
  int32_t OnUpdateGeometryInfo(Channel channel, uint32_t geometrySize, const uint8_t* geometry, uint32_t cbVisibleRect,
                               const uint8_t* rectangles) override;
  int32_t OnEndOfStream(Channel channel, uint32_t streamId) override;
  int32_t OnRemoveStream(Channel channel, uint32_t streamId) override;
  int32_t OnCloseChannel(uint32_t streamId) override;

  // What the presentation holds, for tests.
  size_t StreamCount();
  uint32_t StreamVolume();
  uint32_t Muted();

  CMMPresentation(const CMMPresentation&) = delete;
  CMMPresentation& operator=(const CMMPresentation&) = delete;

 private:
  ~CMMPresentation() override;

  // The stream with the id, with a reference for the caller, or null.
  CVrMFStream* FindStream(uint32_t streamId);
  // The player and source, each with a reference for the caller, or null:
  // other channels' workers set and clear them.
  IRdpMMVrPlayer* Player();
  IVrRdpMediaSource* Source();
  // Takes both out (under the mutex) and closes and releases them.
  void DropPlayerAndSource(bool closePlayer);
  template <class Op>
  void ForEachStream(Op op);
  int32_t SendEvent(const Channel& channel, uint32_t eventId);

  int32_t refs_ = 1;
  std::mutex mutex_;  // the count, the streams, the player and the source
  uint8_t id_[mmredir::kPresentationIdSize];
  std::vector<CVrMFStream*> streams_;
  uint32_t streamVolume_ = 0;
  uint32_t muted_ = 0;
  IRdpMMVrPlayer* player_ = nullptr;
  IVrRdpMediaSource* source_ = nullptr;
  const MMPresentationParts parts_;
};
