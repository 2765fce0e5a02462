// The DirectShow interfaces the video filter library and its tests call:
// filters, pins, media samples and allocators, the filter graph with its
// control, event, seeking and window interfaces, the filter mapper, and the
// Video Mixing Renderer 7. Only the subset callers use; same names and
// meanings as the Windows interfaces.
#pragma once

#include "pelplat/amvideo.h"
#include "pelplat/objbase.h"
#include "pelplat/unknwn.h"
#include "pelplat/wingdi.h"
#include "pelplat/winuser.h"

struct IDirectDraw7;
struct IDirectDrawSurface7;
struct DDPIXELFORMAT;
typedef LONG_PTR OAHWND;
typedef LONG OAFilterState;

// ---- GUIDs -----------------------------------------------------------------
// FOURCC subtypes: the four characters, then the standard base.
#define PELPLAT_FOURCC(a, b, c, d) \
  (static_cast<uint32_t>(a) | (static_cast<uint32_t>(b) << 8) | (static_cast<uint32_t>(c) << 16) | \
   (static_cast<uint32_t>(d) << 24))
#define PELPLAT_FOURCC_GUID(name, a, b, c, d) \
  PELPLAT_GUID(name, PELPLAT_FOURCC(a, b, c, d), 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
inline GUID FourccSubtype(uint32_t fourcc) {
  return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

PELPLAT_FOURCC_GUID(MEDIATYPE_Video, 'v', 'i', 'd', 's');
PELPLAT_FOURCC_GUID(MEDIATYPE_Audio, 'a', 'u', 'd', 's');
PELPLAT_GUID(MEDIASUBTYPE_RGB24, 0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(MEDIASUBTYPE_RGB32, 0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(MEDIASUBTYPE_MPEG1Payload, 0xE436EB81, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(MEDIASUBTYPE_MPEG2_VIDEO, 0xE06D8026, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA);
PELPLAT_FOURCC_GUID(MEDIASUBTYPE_MJPG, 'M', 'J', 'P', 'G');
PELPLAT_FOURCC_GUID(MEDIASUBTYPE_PCM, 1, 0, 0, 0);

PELPLAT_GUID(FORMAT_VideoInfo, 0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
PELPLAT_GUID(FORMAT_VideoInfo2, 0xF72A76A0, 0xEB0A, 0x11D0, 0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
PELPLAT_GUID(FORMAT_WaveFormatEx, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
PELPLAT_GUID(FORMAT_MPEGVideo, 0x05589F82, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
PELPLAT_GUID(FORMAT_MPEG2Video, 0xE06D80E3, 0xDB46, 0x11CF, 0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA);

PELPLAT_GUID(CLSID_FilterGraph, 0xE436EBB3, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(CLSID_FilterMapper2, 0xCDA42200, 0xBD88, 0x11D0, 0xBD, 0x4E, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86);
PELPLAT_GUID(CLSID_VideoMixingRenderer, 0xB87BEB7B, 0x8D29, 0x423F, 0xAE, 0x4D, 0x65, 0x82, 0xC1, 0x01, 0x75, 0xAC);
PELPLAT_GUID(CLSID_AllocPresenter, 0x99D54F63, 0x1A69, 0x41AE, 0xAA, 0x4D, 0xC9, 0x76, 0xEB, 0x3F, 0x07, 0x13);

PELPLAT_GUID(IID_IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IEnumMediaTypes, 0x89C31040, 0x846B, 0x11CE, 0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
PELPLAT_GUID(IID_IFilterGraph, 0x56A8689F, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaFilter, 0x56A86899, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaSample, 0x56A8689A, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaSample2, 0x36B73884, 0xC2C8, 0x11CF, 0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60);
PELPLAT_GUID(IID_IMemAllocator, 0x56A8689C, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMemInputPin, 0x56A8689D, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaEventEx, 0x56A868C0, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaEventSink, 0x56A868A2, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IMediaSeeking, 0x36B73880, 0xC2C8, 0x11CF, 0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60);
PELPLAT_GUID(IID_IVideoWindow, 0x56A868B4, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IFilterMapper2, 0xB79BB0B0, 0x33C1, 0x11D1, 0xAB, 0xE1, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75);
PELPLAT_GUID(IID_IEnumMoniker, 0x00000102, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PELPLAT_GUID(IID_IMoniker, 0x0000000F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PELPLAT_GUID(IID_IAMFilterMiscFlags, 0x2DD74950, 0xA890, 0x11D1, 0xAB, 0xE8, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75);
PELPLAT_GUID(IID_IFileSourceFilter, 0x56A868A6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IQualityControl, 0x56A868A5, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
PELPLAT_GUID(IID_IVMRFilterConfig, 0x9E5530C5, 0x7034, 0x48B4, 0xBB, 0x46, 0x0B, 0x8A, 0x6E, 0xFC, 0x8E, 0x36);
PELPLAT_GUID(IID_IVMRSurfaceAllocator, 0x31CE832E, 0x4484, 0x458B, 0x8C, 0xCA, 0xF4, 0xD7, 0xE3, 0xDB, 0x0B, 0x52);
PELPLAT_GUID(IID_IVMRSurfaceAllocatorNotify, 0xAADA05A8, 0x5A4E, 0x4729, 0xAF, 0x0B, 0xCE, 0xA2, 0x7A, 0xED, 0x51, 0xE2);
PELPLAT_GUID(IID_IVMRImagePresenter, 0xCE704FE7, 0xE71E, 0x41FB, 0xBA, 0xA2, 0xC4, 0x40, 0x3E, 0x11, 0x82, 0xF5);
PELPLAT_GUID(IID_IVMRWindowlessControl, 0x0EB1088C, 0x4DCD, 0x46F0, 0x87, 0x8F, 0x39, 0xDA, 0xE8, 0x6A, 0x51, 0xB7);

// ---- records -----------------------------------------------------------------
struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  ULONG cbFormat;
  BYTE* pbFormat;  // from CoTaskMemAlloc
};

struct ALLOCATOR_PROPERTIES {
  LONG cBuffers;
  LONG cbBuffer;
  LONG cbAlign;
  LONG cbPrefix;
};

// The native form; a 32-bit sender's copy of it is converted field by field.
struct AM_SAMPLE2_PROPERTIES {
  DWORD cbData;
  DWORD dwTypeSpecificFlags;
  DWORD dwSampleFlags;
  LONG lActual;
  REFERENCE_TIME tStart;
  REFERENCE_TIME tStop;
  DWORD dwStreamId;
  AM_MEDIA_TYPE* pMediaType;
  BYTE* pbBuffer;
  LONG cbBuffer;
};

#define AM_SAMPLE_SPLICEPOINT 0x01u
#define AM_SAMPLE_PREROLL 0x02u
#define AM_SAMPLE_DATADISCONTINUITY 0x04u
#define AM_SAMPLE_TYPECHANGED 0x08u
#define AM_SAMPLE_TIMEVALID 0x10u
#define AM_SAMPLE_STOPVALID 0x100u

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

struct IBaseFilter;
struct IFilterGraph;
struct PIN_INFO {
  IBaseFilter* pFilter;  // AddRef'ed
  PIN_DIRECTION dir;
  WCHAR achName[128];
};
struct FILTER_INFO {
  WCHAR achName[128];
  IFilterGraph* pGraph;  // AddRef'ed
};

#define AM_FILTER_MISC_FLAGS_IS_RENDERER 0x1u
#define AM_FILTER_MISC_FLAGS_IS_SOURCE 0x2u
#define AM_SEEKING_AbsolutePositioning 0x1u
#define AM_GBF_PREVFRAMESKIPPED 0x1u
#define AM_GBF_NOTASYNCPOINT 0x2u

#define MERIT_PREFERRED 0x800000u
#define MERIT_NORMAL 0x600000u
#define MERIT_UNLIKELY 0x400000u
#define MERIT_DO_NOT_USE 0x200000u

#ifndef E_PENDING
#define E_PENDING static_cast<HRESULT>(0x8000000A)
#endif

// Filter events.
#define EC_COMPLETE 0x01
#define EC_USERABORT 0x02
#define EC_ERRORABORT 0x03

#define VFW_S_NO_MORE_ITEMS static_cast<HRESULT>(0x00040103)
#define VFW_E_NOT_CONNECTED static_cast<HRESULT>(0x80040209)
#define VFW_E_ALREADY_CONNECTED static_cast<HRESULT>(0x80040204)
#define VFW_E_NO_ACCEPTABLE_TYPES static_cast<HRESULT>(0x80040207)
#define VFW_E_TYPE_NOT_ACCEPTED static_cast<HRESULT>(0x8004022A)
#define VFW_E_NOT_COMMITTED static_cast<HRESULT>(0x80040211)
#define VFW_E_SIZENOTSET static_cast<HRESULT>(0x80040212)
#define VFW_E_BUFFERS_OUTSTANDING static_cast<HRESULT>(0x80040215)
#define VFW_E_WRONG_STATE static_cast<HRESULT>(0x80040227)
#define VFW_E_NOT_STOPPED static_cast<HRESULT>(0x80040224)
#define VFW_E_CANNOT_RENDER static_cast<HRESULT>(0x80040218)
#define VFW_E_CANNOT_CONNECT static_cast<HRESULT>(0x80040217)
#define VFW_E_NO_ALLOCATOR static_cast<HRESULT>(0x8004020A)
#define VFW_E_RUNTIME_ERROR static_cast<HRESULT>(0x8004020B)
#define VFW_E_DUPLICATE_NAME static_cast<HRESULT>(0x8004022C)
#define VFW_E_NOT_FOUND static_cast<HRESULT>(0x80040216)
#define VFW_E_NO_INTERFACE static_cast<HRESULT>(0x80040257)
#define VFW_E_SAMPLE_TIME_NOT_SET static_cast<HRESULT>(0x80040249)
#define VFW_S_NO_STOP_TIME static_cast<HRESULT>(0x00040270)
#define VFW_E_BUFFER_OVERFLOW static_cast<HRESULT>(0x8004020D)
#define VFW_E_ALREADY_COMMITTED static_cast<HRESULT>(0x80040210)
#define VFW_E_INVALID_DIRECTION static_cast<HRESULT>(0x80040208)
#define VFW_E_NO_TRANSPORT static_cast<HRESULT>(0x8004022F)

// ---- samples and allocators ------------------------------------------------
struct IMediaSample : IUnknown {
  virtual HRESULT GetPointer(BYTE** buffer) = 0;
  virtual LONG GetSize() = 0;
  virtual HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) = 0;
  virtual HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) = 0;
  virtual HRESULT IsSyncPoint() = 0;
  virtual HRESULT SetSyncPoint(BOOL sync) = 0;
  virtual HRESULT IsPreroll() = 0;
  virtual HRESULT SetPreroll(BOOL preroll) = 0;
  virtual LONG GetActualDataLength() = 0;
  virtual HRESULT SetActualDataLength(LONG length) = 0;
  virtual HRESULT GetMediaType(AM_MEDIA_TYPE** type) = 0;
  virtual HRESULT SetMediaType(AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT IsDiscontinuity() = 0;
  virtual HRESULT SetDiscontinuity(BOOL discontinuity) = 0;

 protected:
  ~IMediaSample() = default;
};

struct IMediaSample2 : IMediaSample {
  virtual HRESULT GetProperties(DWORD size, BYTE* properties) = 0;
  // At most `size` bytes of an AM_SAMPLE2_PROPERTIES, and no more than its
  // cbData says.
  virtual HRESULT SetProperties(DWORD size, const BYTE* properties) = 0;

 protected:
  ~IMediaSample2() = default;
};

struct IMemAllocator : IUnknown {
  virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) = 0;
  virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) = 0;
  virtual HRESULT Commit() = 0;
  virtual HRESULT Decommit() = 0;
  virtual HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                            DWORD flags) = 0;
  virtual HRESULT ReleaseBuffer(IMediaSample* sample) = 0;

 protected:
  ~IMemAllocator() = default;
};

// ---- pins and filters -------------------------------------------------------
struct IEnumMediaTypes;
struct IPin : IUnknown {
  virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT Disconnect() = 0;
  virtual HRESULT ConnectedTo(IPin** pin) = 0;
  virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
  virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;
  virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;
  virtual HRESULT EndOfStream() = 0;
  virtual HRESULT BeginFlush() = 0;
  virtual HRESULT EndFlush() = 0;
  virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;

 protected:
  ~IPin() = default;
};

struct IEnumPins : IUnknown {
  virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumPins() = default;
};

struct IEnumMediaTypes : IUnknown {
  // Each type and its format block come from CoTaskMemAlloc (DeleteMediaType).
  virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumMediaTypes() = default;
};

struct IMemInputPin : IUnknown {
  virtual HRESULT GetAllocator(IMemAllocator** allocator) = 0;
  virtual HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) = 0;
  virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) = 0;
  virtual HRESULT Receive(IMediaSample* sample) = 0;
  virtual HRESULT ReceiveCanBlock() = 0;

 protected:
  ~IMemInputPin() = default;
};

struct IMediaFilter : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Run(REFERENCE_TIME start) = 0;
  virtual HRESULT GetState(DWORD milliseconds, FILTER_STATE* state) = 0;

 protected:
  ~IMediaFilter() = default;
};

struct IBaseFilter : IMediaFilter {
  virtual HRESULT EnumPins(IEnumPins** pins) = 0;
  virtual HRESULT FindPin(LPCWSTR id, IPin** pin) = 0;
  virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
  virtual HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) = 0;

 protected:
  ~IBaseFilter() = default;
};

struct IAMFilterMiscFlags : IUnknown {
  virtual ULONG GetMiscFlags() = 0;

 protected:
  ~IAMFilterMiscFlags() = default;
};

struct IFileSourceFilter : IUnknown {
  virtual HRESULT Load(LPCWSTR fileName, const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE* type) = 0;

 protected:
  ~IFileSourceFilter() = default;
};

struct Quality {
  int Type;
  LONG Proportion;
  REFERENCE_TIME Late;
  REFERENCE_TIME TimeStamp;
};
struct IQualityControl : IUnknown {
  virtual HRESULT Notify(IBaseFilter* self, Quality q) = 0;
  virtual HRESULT SetSink(IQualityControl* sink) = 0;

 protected:
  ~IQualityControl() = default;
};

// ---- the graph -------------------------------------------------------------
struct IFilterGraph : IUnknown {
  virtual HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) = 0;
  virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
  virtual HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) = 0;
  virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) = 0;
  virtual HRESULT Disconnect(IPin* pin) = 0;

 protected:
  ~IFilterGraph() = default;
};

struct IGraphBuilder : IFilterGraph {
  // Connects out to in, through decoders of the filter mapper when needed.
  virtual HRESULT Connect(IPin* out, IPin* in) = 0;
  // Connects the output pin to a renderer already in the graph, through
  // decoders of the filter mapper when needed.
  virtual HRESULT Render(IPin* out) = 0;

 protected:
  ~IGraphBuilder() = default;
};

struct IMediaControl : IUnknown {
  virtual HRESULT Run() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT GetState(LONG milliseconds, OAFilterState* state) = 0;

 protected:
  ~IMediaControl() = default;
};

struct IMediaEventSink : IUnknown {
  virtual HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

 protected:
  ~IMediaEventSink() = default;
};

struct IMediaEventEx : IUnknown {
  // E_ABORT when no event arrives within the time.
  virtual HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) = 0;
  virtual HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;

 protected:
  ~IMediaEventEx() = default;
};

struct IMediaSeeking : IUnknown {
  virtual HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) = 0;
  virtual HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) = 0;
  virtual HRESULT SetRate(double rate) = 0;
  virtual HRESULT GetRate(double* rate) = 0;

 protected:
  ~IMediaSeeking() = default;
};

struct IVideoWindow : IUnknown {
  virtual HRESULT put_Caption(LPCWSTR caption) = 0;
  virtual HRESULT put_WindowState(LONG state) = 0;
  virtual HRESULT put_Visible(LONG visible) = 0;
  virtual HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) = 0;

 protected:
  ~IVideoWindow() = default;
};

// ---- the filter mapper -------------------------------------------------------
struct IMoniker : IUnknown {
  virtual HRESULT BindToObject(void* bindContext, IMoniker* left, REFIID riid, void** object) = 0;

 protected:
  ~IMoniker() = default;
};

struct IEnumMoniker : IUnknown {
  virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG count) = 0;
  virtual HRESULT Reset() = 0;

 protected:
  ~IEnumMoniker() = default;
};

struct REGPINMEDIUM {
  CLSID clsMedium;
  DWORD dw1;
  DWORD dw2;
};

struct IFilterMapper2 : IUnknown {
  // Input types come as pairs (major type, subtype); GUID_NULL matches any.
  virtual HRESULT EnumMatchingFilters(IEnumMoniker** result, DWORD flags, BOOL exactMatch,
                                      DWORD merit, BOOL inputNeeded, DWORD inputTypes,
                                      const GUID* inputTypePairs, const REGPINMEDIUM* inputMedium,
                                      const CLSID* inputCategory, BOOL render, BOOL outputNeeded,
                                      DWORD outputTypes, const GUID* outputTypePairs,
                                      const REGPINMEDIUM* outputMedium,
                                      const CLSID* outputCategory) = 0;

 protected:
  ~IFilterMapper2() = default;
};

// ---- Video Mixing Renderer 7 ----------------------------------------------
#define VMRMode_Windowed 0x1u
#define VMRMode_Windowless 0x2u
#define VMRMode_Renderless 0x4u
#define RenderPrefs_DoNotRenderColorKeyAndBorder 0x8u
#define VMR_ARMODE_NONE 0u

struct VMRALLOCATIONINFO {
  DWORD dwFlags;
  LPBITMAPINFOHEADER lpHdr;
  DDPIXELFORMAT* lpPixFmt;
  SIZE szAspectRatio;
  DWORD dwMinBuffers;
  DWORD dwMaxBuffers;
  DWORD dwInterlaceFlags;
  SIZE szNativeSize;
};

struct VMRPRESENTATIONINFO {
  DWORD dwFlags;
  IDirectDrawSurface7* lpSurf;
  REFERENCE_TIME rtStart;
  REFERENCE_TIME rtEnd;
  SIZE szAspectRatio;
  RECT rcSrc;
  RECT rcDst;
  DWORD dwTypeSpecificFlags;
  DWORD dwInterlaceFlags;
};

struct IVMRSurfaceAllocatorNotify;
struct IVMRFilterConfig : IUnknown {
  virtual HRESULT SetRenderingMode(DWORD mode) = 0;
  virtual HRESULT GetRenderingMode(DWORD* mode) = 0;
  virtual HRESULT SetRenderingPrefs(DWORD prefs) = 0;
  virtual HRESULT GetRenderingPrefs(DWORD* prefs) = 0;

 protected:
  ~IVMRFilterConfig() = default;
};

struct IVMRSurfaceAllocator : IUnknown {
  virtual HRESULT AllocateSurface(DWORD_PTR userId, VMRALLOCATIONINFO* info, DWORD* buffers,
                                  IDirectDrawSurface7** surface) = 0;
  virtual HRESULT FreeSurface(DWORD_PTR userId) = 0;
  virtual HRESULT PrepareSurface(DWORD_PTR userId, IDirectDrawSurface7* surface, DWORD flags) = 0;
  virtual HRESULT AdviseNotify(IVMRSurfaceAllocatorNotify* notify) = 0;

 protected:
  ~IVMRSurfaceAllocator() = default;
};

struct IVMRSurfaceAllocatorNotify : IUnknown {
  virtual HRESULT AdviseSurfaceAllocator(DWORD_PTR userId, IVMRSurfaceAllocator* allocator) = 0;
  virtual HRESULT SetDDrawDevice(IDirectDraw7* ddraw, HMONITOR monitor) = 0;
  virtual HRESULT ChangeDDrawDevice(IDirectDraw7* ddraw, HMONITOR monitor) = 0;
  virtual HRESULT RestoreDDrawSurfaces() = 0;
  virtual HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2) = 0;
  virtual HRESULT SetBorderColor(DWORD colour) = 0;

 protected:
  ~IVMRSurfaceAllocatorNotify() = default;
};

struct IVMRImagePresenter : IUnknown {
  virtual HRESULT StartPresenting(DWORD_PTR userId) = 0;
  virtual HRESULT StopPresenting(DWORD_PTR userId) = 0;
  virtual HRESULT PresentImage(DWORD_PTR userId, VMRPRESENTATIONINFO* info) = 0;

 protected:
  ~IVMRImagePresenter() = default;
};

struct IVMRWindowlessControl : IUnknown {
  virtual HRESULT GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectWidth, LONG* aspectHeight) = 0;
  virtual HRESULT GetMinIdealVideoSize(LONG* width, LONG* height) = 0;
  virtual HRESULT GetMaxIdealVideoSize(LONG* width, LONG* height) = 0;
  virtual HRESULT SetVideoPosition(const RECT* source, const RECT* destination) = 0;
  virtual HRESULT GetVideoPosition(RECT* source, RECT* destination) = 0;
  virtual HRESULT GetAspectRatioMode(DWORD* mode) = 0;
  virtual HRESULT SetAspectRatioMode(DWORD mode) = 0;
  virtual HRESULT SetVideoClippingWindow(HWND window) = 0;
  virtual HRESULT RepaintVideo(HWND window, HDC deviceContext) = 0;
  virtual HRESULT DisplayModeChanged() = 0;
  virtual HRESULT GetCurrentImage(BYTE** image) = 0;
  virtual HRESULT SetBorderColor(COLORREF colour) = 0;
  virtual HRESULT GetBorderColor(COLORREF* colour) = 0;
  virtual HRESULT SetColorKey(COLORREF colour) = 0;
  virtual HRESULT GetColorKey(COLORREF* colour) = 0;

 protected:
  ~IVMRWindowlessControl() = default;
};
