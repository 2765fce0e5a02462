// The video filter library's exported functions: one compressed video
// stream per player handle, pushed sample by sample through a DirectShow
// graph into a window of the program. Plain C names (the Windows build's
// stdcall decoration has no counterpart here).
#pragma once

#include <cstdint>

#include "pelplat/wintypes.h"
#include "streamshared/IDSFrameProcessor.h"
#include "streamshared/StreamRecords.h"

struct ALLOCATOR_PROPERTIES;
struct HWND__;
struct HDC__;

#define SORVID_EXPORT extern "C" __attribute__((visibility("default")))

SORVID_EXPORT HRESULT SorvidInit(const StreamFormatRecord* record, void** handle);
SORVID_EXPORT HRESULT SorvidClose(void* handle);
SORVID_EXPORT HRESULT SorvidSetAllocator(void* handle, const ALLOCATOR_PROPERTIES* properties);
SORVID_EXPORT HRESULT SorvidSelectAndRenderWindowless(void* handle, HWND__* window, DWORD colourKey,
                                                      IDSFrameProcessor* frameProcessor);
SORVID_EXPORT HRESULT SorvidSelectAndRender(void* handle);
SORVID_EXPORT HRESULT SorvidSetBuffer(void* handle, const BYTE* data, uint32_t size, const SampleInfoRecord* info);
SORVID_EXPORT HRESULT SorvidSetState(void* handle, uint32_t state);
SORVID_EXPORT HRESULT SorvidNewSegment(void* handle, const SegmentRecord* segment);
SORVID_EXPORT HRESULT SorvidFilterEvent(void* handle, int32_t event);
SORVID_EXPORT HRESULT SorvidWindowRect(void* handle, const RECT* rect, int32_t reserved, int32_t x, int32_t y);
SORVID_EXPORT HRESULT SorvidUpdateWindowRectToScroll(void* handle, int32_t x, int32_t y);
SORVID_EXPORT HRESULT SorvidOnParentPaint(void* handle, HWND__* window, HDC__* deviceContext);
SORVID_EXPORT HRESULT SorvidShowWindow(void* handle);
SORVID_EXPORT uint32_t SorvidDetectDsVideoDecoders();
SORVID_EXPORT HRESULT SorvidPlayFileWait(void* pointer);

SORVID_EXPORT int nSorvid;

class __attribute__((visibility("default"))) CSorvid {
 public:
  CSorvid& operator=(const CSorvid& other);
  CSorvid& operator=(CSorvid&& other);
};
