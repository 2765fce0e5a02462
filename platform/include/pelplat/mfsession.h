// Media Foundation's playback side: topologies, the media session, the
// presentation clock, media sinks with their stream sinks, the service
// lookup and the renderers' control interfaces (video display control,
// mixer bitmap, audio stream volume).
//
// How the pieces meet here:
// - A partial topology links source-stream nodes (attributes
//   MF_TOPONODE_SOURCE, MF_TOPONODE_PRESENTATION_DESCRIPTOR,
//   MF_TOPONODE_STREAM_DESCRIPTOR) to output nodes whose object is a
//   renderer's activation object. The media session resolves it: it
//   activates the sinks and puts a decoder (and a converter where the
//   renderer needs one) between source and sink.
// - The session owns a presentation clock; every media sink gets it through
//   SetPresentationClock and registers its IMFClockStateSink with it.
// - A stream sink asks for samples with MEStreamSinkRequestSample events on
//   its own event queue; ProcessSample never blocks; it renders each sample
//   when the clock reaches the sample's time. PlaceMarker(ENDOFSEGMENT)
//   after the last sample comes back as MEStreamSinkMarker once everything
//   before it was rendered.
// - MFGetService asks an object's IMFGetService; the session answers for the
//   renderer services by asking its sinks.
#pragma once

#include "pelplat/d3d9.h"
#include "pelplat/mfapi.h"
#include "pelplat/mfevents.h"
#include "pelplat/mfsource.h"
#include "pelplat/wingdi.h"
#include "pelplat/winuser.h"

typedef LONGLONG MFTIME;
typedef DWORD TOPOID;

// ---- interface ids -------------------------------------------------------------
// {90377834-21d0-4dee-8214-ba2e3e6c1127}
PELPLAT_GUID(IID_IMFMediaSession, 0x90377834, 0x21d0, 0x4dee, 0x82, 0x14, 0xba, 0x2e, 0x3e, 0x6c, 0x11, 0x27);
// {83cf873a-f6da-4bc8-823f-bacfd55dc433}
PELPLAT_GUID(IID_IMFTopology, 0x83cf873a, 0xf6da, 0x4bc8, 0x82, 0x3f, 0xba, 0xcf, 0xd5, 0x5d, 0xc4, 0x33);
// {83cf873a-f6da-4bc8-823f-bacfd55dc430}
PELPLAT_GUID(IID_IMFTopologyNode, 0x83cf873a, 0xf6da, 0x4bc8, 0x82, 0x3f, 0xba, 0xcf, 0xd5, 0x5d, 0xc4, 0x30);
// {2eb1e945-18b8-4139-9b1a-d5d584818530}
PELPLAT_GUID(IID_IMFClock, 0x2eb1e945, 0x18b8, 0x4139, 0x9b, 0x1a, 0xd5, 0xd5, 0x84, 0x81, 0x85, 0x30);
// {868ce85c-8ea9-4f55-ab82-b009a910a805}
PELPLAT_GUID(IID_IMFPresentationClock, 0x868ce85c, 0x8ea9, 0x4f55, 0xab, 0x82, 0xb0, 0x09, 0xa9, 0x10, 0xa8, 0x05);
// {f6696e82-74f7-4f3d-a178-8a5e09c3659f}
PELPLAT_GUID(IID_IMFClockStateSink, 0xf6696e82, 0x74f7, 0x4f3d, 0xa1, 0x78, 0x8a, 0x5e, 0x09, 0xc3, 0x65, 0x9f);
// {6ef2a660-47c0-4666-b13d-cbb717f2fa2c}
PELPLAT_GUID(IID_IMFMediaSink, 0x6ef2a660, 0x47c0, 0x4666, 0xb1, 0x3d, 0xcb, 0xb7, 0x17, 0xf2, 0xfa, 0x2c);
// {0a97b3cf-8e7c-4a3d-8f8c-0c843dc247fb}
PELPLAT_GUID(IID_IMFStreamSink, 0x0a97b3cf, 0x8e7c, 0x4a3d, 0x8f, 0x8c, 0x0c, 0x84, 0x3d, 0xc2, 0x47, 0xfb);
// {fa993888-4383-415a-a930-dd472a8cf6f7}
PELPLAT_GUID(IID_IMFGetService, 0xfa993888, 0x4383, 0x415a, 0xa9, 0x30, 0xdd, 0x47, 0x2a, 0x8c, 0xf6, 0xf7);
// {a490b1e4-ab84-4d31-a1b2-181e03b1077a}
PELPLAT_GUID(IID_IMFVideoDisplayControl, 0xa490b1e4, 0xab84, 0x4d31, 0xa1, 0xb2, 0x18, 0x1e, 0x03, 0xb1, 0x07, 0x7a);
// {814c7b20-0fdb-4eec-af8f-f957c8f69edc}
PELPLAT_GUID(IID_IMFVideoMixerBitmap, 0x814c7b20, 0x0fdb, 0x4eec, 0xaf, 0x8f, 0xf9, 0x57, 0xc8, 0xf6, 0x9e, 0xdc);
// {76b1bbdb-4ec8-4f36-b106-70a9316df593}
PELPLAT_GUID(IID_IMFAudioStreamVolume, 0x76b1bbdb, 0x4ec8, 0x4f36, 0xb1, 0x06, 0x70, 0xa9, 0x31, 0x6d, 0xf5, 0x93);

// ---- services ------------------------------------------------------------------
// {1092a86c-ab1a-459a-a336-831fbc4d11ff}
PELPLAT_GUID(MR_VIDEO_RENDER_SERVICE, 0x1092a86c, 0xab1a, 0x459a, 0xa3, 0x36, 0x83, 0x1f, 0xbc, 0x4d, 0x11, 0xff);
// {073cd2fc-6cf4-40b7-8859-e89552c841f8}
PELPLAT_GUID(MR_VIDEO_MIXER_SERVICE, 0x073cd2fc, 0x6cf4, 0x40b7, 0x88, 0x59, 0xe8, 0x95, 0x52, 0xc8, 0x41, 0xf8);
// {f8b5fa2f-32ef-46f5-b172-1321212fb2c4}
PELPLAT_GUID(MR_STREAM_VOLUME_SERVICE, 0xf8b5fa2f, 0x32ef, 0x46f5, 0xb1, 0x72, 0x13, 0x21, 0x21, 0x2f, 0xb2, 0xc4);

// ---- topology node attributes ------------------------------------------------------
// {835c58ec-e075-4bc7-bcba-4de000df9ae6}
PELPLAT_GUID(MF_TOPONODE_SOURCE, 0x835c58ec, 0xe075, 0x4bc7, 0xbc, 0xba, 0x4d, 0xe0, 0x00, 0xdf, 0x9a, 0xe6);
// {835c58ed-e075-4bc7-bcba-4de000df9ae6}
PELPLAT_GUID(MF_TOPONODE_PRESENTATION_DESCRIPTOR, 0x835c58ed, 0xe075, 0x4bc7, 0xbc, 0xba, 0x4d, 0xe0, 0x00, 0xdf,
             0x9a, 0xe6);
// {835c58ef-e075-4bc7-bcba-4de000df9ae6}
PELPLAT_GUID(MF_TOPONODE_STREAM_DESCRIPTOR, 0x835c58ef, 0xe075, 0x4bc7, 0xbc, 0xba, 0x4d, 0xe0, 0x00, 0xdf, 0x9a,
             0xe6);

// ---- event attributes --------------------------------------------------------------
// {30c5018d-9a53-454b-ad9e-6d5f8fa7c43b}: UINT32, an MF_TOPOSTATUS value
PELPLAT_GUID(MF_EVENT_TOPOLOGY_STATUS, 0x30c5018d, 0x9a53, 0x454b, 0xad, 0x9e, 0x6d, 0x5f, 0x8f, 0xa7, 0xc4, 0x3b);
// {7e5ebcd0-11b8-4abe-afad-10f6599a7f42}: UINT32, MFSESSIONCAP_ flags
PELPLAT_GUID(MF_EVENT_SESSIONCAPS, 0x7e5ebcd0, 0x11b8, 0x4abe, 0xaf, 0xad, 0x10, 0xf6, 0x59, 0x9a, 0x7f, 0x42);
// {5ad914d0-9b45-4a8d-a2c0-81d1e50bfb07}: UINT64
PELPLAT_GUID(MF_EVENT_START_PRESENTATION_TIME, 0x5ad914d0, 0x9b45, 0x4a8d, 0xa2, 0xc0, 0x81, 0xd1, 0xe5, 0x0b, 0xfb,
             0x07);
// {5ad914d1-9b45-4a8d-a2c0-81d1e50bfb07}: UINT64
PELPLAT_GUID(MF_EVENT_PRESENTATION_TIME_OFFSET, 0x5ad914d1, 0x9b45, 0x4a8d, 0xa2, 0xc0, 0x81, 0xd1, 0xe5, 0x0b,
             0xfb, 0x07);

// Session, stream-sink and clock-related event types (source and stream
// events are in mfevents.h).
enum : MediaEventType {
  MESessionUnknown = 100,
  MESessionTopologySet = 101,
  MESessionTopologiesCleared = 102,
  MESessionStarted = 103,
  MESessionPaused = 104,
  MESessionStopped = 105,
  MESessionClosed = 106,
  MESessionEnded = 107,
  MESessionRateChanged = 108,
  MESessionCapabilitiesChanged = 110,
  MESessionTopologyStatus = 111,
  MESessionNotifyPresentationTime = 112,
  MESessionStreamSinkFormatChanged = 129,
  MEStreamSinkStarted = 301,
  MEStreamSinkStopped = 302,
  MEStreamSinkPaused = 303,
  MEStreamSinkRateChanged = 304,
  MEStreamSinkRequestSample = 305,
  MEStreamSinkMarker = 306,
  MEStreamSinkPrerolled = 307,
  MEStreamSinkFormatChanged = 309,
};

enum MF_TOPOSTATUS : UINT32 {
  MF_TOPOSTATUS_INVALID = 0,
  MF_TOPOSTATUS_READY = 100,
  MF_TOPOSTATUS_STARTED_SOURCE = 200,
  MF_TOPOSTATUS_SINK_SWITCHED = 300,
  MF_TOPOSTATUS_ENDED = 400,
};

enum MF_TOPOLOGY_TYPE : DWORD {
  MF_TOPOLOGY_OUTPUT_NODE = 0,
  MF_TOPOLOGY_SOURCESTREAM_NODE = 1,
  MF_TOPOLOGY_TRANSFORM_NODE = 2,
  MF_TOPOLOGY_TEE_NODE = 3,
};

enum MFCLOCK_STATE : DWORD {
  MFCLOCK_STATE_INVALID = 0,
  MFCLOCK_STATE_RUNNING = 1,
  MFCLOCK_STATE_STOPPED = 2,
  MFCLOCK_STATE_PAUSED = 3,
};

enum MFSTREAMSINK_MARKER_TYPE : DWORD {
  MFSTREAMSINK_MARKER_DEFAULT = 0,
  MFSTREAMSINK_MARKER_ENDOFSEGMENT = 1,
  MFSTREAMSINK_MARKER_TICK = 2,
  MFSTREAMSINK_MARKER_EVENT = 3,
};

#define MFSESSIONCAP_START 0x1u
#define MFSESSIONCAP_SEEK 0x2u
#define MFSESSIONCAP_PAUSE 0x4u
#define MFSESSIONCAP_RATE_FORWARD 0x10u

// Start's position of "from where it is now": PRESENTATION_CURRENT_POSITION
// in a VT_I8, or VT_EMPTY.
#define PRESENTATION_CURRENT_POSITION 0x7fffffffffffffffLL

#define MF_E_INVALIDREQUEST static_cast<HRESULT>(0xC00D36B2)
#define MF_E_TOPO_CODEC_NOT_FOUND static_cast<HRESULT>(0xC00D5212)
#define MF_E_TOPO_UNSUPPORTED static_cast<HRESULT>(0xC00D5214)
#define MF_E_NO_CLOCK static_cast<HRESULT>(0xC00D36FB)
#define MF_E_STREAMSINK_REMOVED static_cast<HRESULT>(0xC00D4A38)
#define MF_E_UNSUPPORTED_SERVICE static_cast<HRESULT>(0xC00D36BA)
#define MF_E_UNSUPPORTED_TIME_FORMAT static_cast<HRESULT>(0xC00D36C5)
#define MF_E_INVALID_STATE_TRANSITION static_cast<HRESULT>(0xC00D3E82)
#define MF_E_INVALIDINDEX static_cast<HRESULT>(0xC00D36BF)

// ---- topology --------------------------------------------------------------------
// Nodes are attribute stores. Source-stream nodes carry the three
// MF_TOPONODE_ attributes; output nodes an activation object (or a sink's
// IMFStreamSink) set with SetObject; transform nodes an IMFTransform.
struct IMFTopologyNode : IMFAttributes {
  virtual HRESULT SetObject(IUnknown* object) = 0;
  // E_FAIL when no object was set.
  virtual HRESULT GetObject(IUnknown** object) = 0;
  virtual HRESULT GetNodeType(MF_TOPOLOGY_TYPE* type) = 0;
  virtual HRESULT GetTopoNodeID(TOPOID* id) = 0;
  virtual HRESULT GetInputCount(DWORD* count) = 0;
  virtual HRESULT GetOutputCount(DWORD* count) = 0;
  // Connects output `output` of this node to input `input` of `downstream`.
  virtual HRESULT ConnectOutput(DWORD output, IMFTopologyNode* downstream, DWORD input) = 0;
  virtual HRESULT DisconnectOutput(DWORD output) = 0;
  // MF_E_NOT_FOUND when the input or output is not connected.
  virtual HRESULT GetInput(DWORD input, IMFTopologyNode** upstream, DWORD* upstreamOutput) = 0;
  virtual HRESULT GetOutput(DWORD output, IMFTopologyNode** downstream, DWORD* downstreamInput) = 0;

 protected:
  ~IMFTopologyNode() = default;
};

struct IMFTopology : IMFAttributes {
  virtual HRESULT GetTopologyID(TOPOID* id) = 0;
  // The topology keeps a reference on every node.
  virtual HRESULT AddNode(IMFTopologyNode* node) = 0;
  virtual HRESULT RemoveNode(IMFTopologyNode* node) = 0;
  virtual HRESULT GetNodeCount(WORD* count) = 0;
  virtual HRESULT GetNode(WORD index, IMFTopologyNode** node) = 0;
  virtual HRESULT Clear() = 0;

 protected:
  ~IMFTopology() = default;
};

#define MF_E_NOT_FOUND static_cast<HRESULT>(0x80070490)

HRESULT MFCreateTopology(IMFTopology** topology);
HRESULT MFCreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node);

// ---- clocks ------------------------------------------------------------------------
// Told of every state change of the presentation clock it was added to.
// Times are 100-nanosecond units: the system time of the change and, for a
// start, the presentation time it starts from (PRESENTATION_CURRENT_POSITION
// to go on from where the clock stands).
struct IMFClockStateSink : IUnknown {
  virtual HRESULT OnClockStart(MFTIME systemTime, LONGLONG startOffset) = 0;
  virtual HRESULT OnClockStop(MFTIME systemTime) = 0;
  virtual HRESULT OnClockPause(MFTIME systemTime) = 0;
  virtual HRESULT OnClockRestart(MFTIME systemTime) = 0;
  virtual HRESULT OnClockSetRate(MFTIME systemTime, float rate) = 0;

 protected:
  ~IMFClockStateSink() = default;
};

struct IMFPresentationClock : IUnknown {
  // The presentation time now; MF_E_CLOCK_NO_TIME_SOURCE never happens here
  // (the clock runs on the system's monotonic time).
  virtual HRESULT GetTime(MFTIME* time) = 0;
  virtual HRESULT GetState(DWORD reserved, MFCLOCK_STATE* state) = 0;
  virtual HRESULT Start(LONGLONG startOffset) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT AddClockStateSink(IMFClockStateSink* sink) = 0;
  virtual HRESULT RemoveClockStateSink(IMFClockStateSink* sink) = 0;

 protected:
  ~IMFPresentationClock() = default;
};

HRESULT MFCreatePresentationClock(IMFPresentationClock** clock);
// A clock asked to pause or stop when it already is.
#define MF_E_CLOCK_STATE_ALREADY_SET static_cast<HRESULT>(0xC00D9C42)

// ---- sinks -------------------------------------------------------------------------
struct IMFMediaSink;

struct IMFStreamSink : IMFMediaEventGenerator {
  virtual HRESULT GetMediaSink(IMFMediaSink** sink) = 0;
  virtual HRESULT GetIdentifier(DWORD* id) = 0;
  virtual HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) = 0;
  // Takes a reference on the sample; never waits for the clock.
  virtual HRESULT ProcessSample(IMFSample* sample) = 0;
  // value and context may be null; the marker event carries the context.
  virtual HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE type, const PROPVARIANT* value,
                              const PROPVARIANT* context) = 0;
  // Drops every sample not yet rendered; markers come back with E_ABORT.
  virtual HRESULT Flush() = 0;

 protected:
  ~IMFStreamSink() = default;
};

struct IMFMediaSink : IUnknown {
  virtual HRESULT GetCharacteristics(DWORD* characteristics) = 0;
  virtual HRESULT GetStreamSinkCount(DWORD* count) = 0;
  virtual HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** stream) = 0;
  virtual HRESULT GetStreamSinkById(DWORD id, IMFStreamSink** stream) = 0;
  virtual HRESULT SetPresentationClock(IMFPresentationClock* clock) = 0;
  virtual HRESULT GetPresentationClock(IMFPresentationClock** clock) = 0;
  virtual HRESULT Shutdown() = 0;

 protected:
  ~IMFMediaSink() = default;
};

// ---- services -----------------------------------------------------------------------
struct IMFGetService : IUnknown {
  virtual HRESULT GetService(REFGUID service, REFIID riid, void** object) = 0;

 protected:
  ~IMFGetService() = default;
};

// Asks the object's IMFGetService; E_NOINTERFACE when it has none,
// MF_E_UNSUPPORTED_SERVICE when the service is unknown to it.
HRESULT MFGetService(IUnknown* object, REFGUID service, REFIID riid, void** result);

// The session's clock as IMFClock; QueryInterface gives its
// IMFPresentationClock.
struct IMFClock : IUnknown {
  virtual HRESULT GetClockCharacteristics(DWORD* characteristics) = 0;
  virtual HRESULT GetState(DWORD reserved, MFCLOCK_STATE* state) = 0;

 protected:
  ~IMFClock() = default;
};

// ---- media session ------------------------------------------------------------------
// Events, in order, as the session queues them: MESessionTopologySet after
// SetTopology, MESessionTopologyStatus (MF_EVENT_TOPOLOGY_STATUS
// MF_TOPOSTATUS_READY) once the topology is resolved and its sinks are
// active; MESessionStarted, MESessionPaused, MESessionStopped for the
// commands; MESessionEnded after the last sink's end-of-segment marker;
// MESessionClosed after Close. A failure reaches the caller as the status
// of the command's event, or as MEError. MESessionTopologyStatus also comes
// with MF_TOPOSTATUS_STARTED_SOURCE before the first MESessionStarted of a
// topology and with MF_TOPOSTATUS_ENDED just before MESessionEnded.
struct IMFMediaSession : IMFMediaEventGenerator {
  virtual HRESULT SetTopology(DWORD flags, IMFTopology* topology) = 0;
  virtual HRESULT ClearTopologies() = 0;
  // timeFormat null or GUID_NULL; position VT_EMPTY (go on) or VT_I8.
  virtual HRESULT Start(const GUID* timeFormat, const PROPVARIANT* position) = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT Shutdown() = 0;
  virtual HRESULT GetClock(IMFClock** clock) = 0;
  virtual HRESULT GetSessionCapabilities(DWORD* caps) = 0;
  virtual HRESULT GetFullTopology(DWORD flags, TOPOID id, IMFTopology** topology) = 0;

 protected:
  ~IMFMediaSession() = default;
};


// GetFullTopology's flag: the current topology, whatever the id.
#define MFSESSION_GETFULLTOPOLOGY_CURRENT 0x1u

// configuration must be null.
HRESULT MFCreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session);

// ---- renderers -----------------------------------------------------------------------
struct MFVideoNormalizedRect {
  float left;
  float top;
  float right;
  float bottom;
};

#define MFVideoAlphaBitmap_EntireDDS 0x1u
#define MFVideoAlphaBitmap_SrcColorKey 0x2u
#define MFVideoAlphaBitmap_SrcRect 0x4u
#define MFVideoAlphaBitmap_DestRect 0x8u
#define MFVideoAlphaBitmap_FilterMode 0x10u
#define MFVideoAlphaBitmap_Alpha 0x20u
#define MFVideoAlphaBitmap_BitMask 0x3fu

struct MFVideoAlphaBitmapParams {
  DWORD dwFlags;
  COLORREF clrSrcKey;
  RECT rcSrc;
  MFVideoNormalizedRect nrcDest;
  float fAlpha;
  DWORD dwFilterMode;
};

struct MFVideoAlphaBitmap {
  BOOL GetBitmapFromDC;  // only FALSE (a Direct3D surface) is supported
  union {
    HDC hdc;
    IDirect3DSurface9* pDDS;
  } bitmap;
  MFVideoAlphaBitmapParams params;
};

// The enhanced video renderer's window control.
struct IMFVideoDisplayControl : IUnknown {
  virtual HRESULT GetNativeVideoSize(SIZE* video, SIZE* aspectRatio) = 0;
  // source null: the whole frame; destination in the video window's pixels.
  virtual HRESULT SetVideoPosition(const MFVideoNormalizedRect* source, const RECT* destination) = 0;
  virtual HRESULT GetVideoPosition(MFVideoNormalizedRect* source, RECT* destination) = 0;
  virtual HRESULT SetVideoWindow(HWND window) = 0;
  virtual HRESULT GetVideoWindow(HWND* window) = 0;
  // Presents the last frame again (with the current alpha bitmap).
  virtual HRESULT RepaintVideo() = 0;

 protected:
  ~IMFVideoDisplayControl() = default;
};

// The mixer's alpha-blended bitmap over the video. The bitmap's pixels are
// A8R8G8B8; the renderer copies the surface at SetAlphaBitmap.
struct IMFVideoMixerBitmap : IUnknown {
  virtual HRESULT SetAlphaBitmap(const MFVideoAlphaBitmap* bitmap) = 0;
  virtual HRESULT ClearAlphaBitmap() = 0;
  virtual HRESULT UpdateAlphaBitmapParameters(const MFVideoAlphaBitmapParams* params) = 0;
  virtual HRESULT GetAlphaBitmapParameters(MFVideoAlphaBitmapParams* params) = 0;

 protected:
  ~IMFVideoMixerBitmap() = default;
};

// The audio renderer's per-channel levels, 0.0 to 1.0.
struct IMFAudioStreamVolume : IUnknown {
  virtual HRESULT GetChannelCount(UINT32* count) = 0;
  virtual HRESULT SetChannelVolume(UINT32 index, const float level) = 0;
  virtual HRESULT GetChannelVolume(UINT32 index, float* level) = 0;
  virtual HRESULT SetAllVolumes(UINT32 count, const float* levels) = 0;
  virtual HRESULT GetAllVolumes(UINT32 count, float* levels) = 0;

 protected:
  ~IMFAudioStreamVolume() = default;
};

// Activation objects of the renderers; ActivateObject(IID_IMFMediaSink)
// makes the sink. The video renderer presents into `window` through the
// window's video presenter (pelplat/videowindow.h); the audio renderer plays
// through waveOut.
HRESULT MFCreateVideoRendererActivate(HWND window, IMFActivate** activate);
HRESULT MFCreateAudioRendererActivate(IMFActivate** activate);
// {8642628e-c1c1-46c8-9335-07390e8476d4}: UINT32 on the audio renderer's
// activation object, set before the sink is made; non-zero makes a renderer
// that opens no sound device and takes every sample as played, for a
// session whose sound is off. This platform's own: Windows has none.
PELPLAT_GUID(PELPLAT_MF_AUDIO_RENDERER_SILENT, 0x8642628e, 0xc1c1, 0x46c8, 0x93, 0x35, 0x07, 0x39, 0x0e, 0x84, 0x76,
             0xd4);

// What a renderer's stream sink has done so far: samples rendered (for the
// video renderer: presented; for the audio renderer: played by the device,
// or taken when there is none), those of them that came after their time
// had passed (presented at once, never dropped), and samples refused as
// unreadable.
struct MFRendererStats {
  UINT64 rendered = 0;
  UINT64 late = 0;
  UINT64 refused = 0;
};
// E_NOINTERFACE for an object that is not one of the platform's renderers.
HRESULT MFGetRendererStats(IUnknown* renderer, MFRendererStats* stats);
