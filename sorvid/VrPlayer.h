// The object behind a player handle: one filter graph at a time, from the
// push source through whatever decoders connect it to a VMR-7 that draws
// into a window of the program. A chain of four classes; only
// CVrNspPlayerEx is ever made.
#pragma once

#include <atomic>

#include "VrNetSource.h"
#include "VrVMR7Presenter.h"
#include "pelplat/dshowbase.h"
#include "streamshared/IDSFrameProcessor.h"
#include "streamshared/StreamRecords.h"

// Graph and its control interfaces.
class CVrPlayer {
 public:
  explicit CVrPlayer(HWND window);
  virtual HRESULT Open(LPCWSTR fileName, int rendererPreference) = 0;
  virtual HRESULT Close();
  virtual HRESULT Run();
  virtual HRESULT Stop();
  virtual HRESULT Pause();
  virtual HRESULT WindowRect(const RECT* rect, int x, int y);
  virtual HRESULT OnParentPaint(HWND window, HDC deviceContext) { return E_NOTIMPL; }
  virtual HRESULT ShowWindow();
  virtual HRESULT DisplayModeChanged() { return E_NOTIMPL; }
  virtual ~CVrPlayer();
  virtual HRESULT AddRenderer() = 0;
  LONG Release();

 protected:
  HWND m_window;
  IFilterGraph* m_graph = nullptr;
  IMediaControl* m_mediaControl = nullptr;
  IMediaEventEx* m_mediaEvents = nullptr;
  IMediaSeeking* m_mediaSeeking = nullptr;
  IVideoWindow* m_videoWindow = nullptr;
  int m_rendererPreference = 0;
  CCritSec m_baseLock;
  std::atomic<LONG> m_refs{1};

  HRESULT CloseBase();
};

// Windowless renderer controls and the video position.
class CVrPlayerEx : public CVrPlayer {
 public:
  explicit CVrPlayerEx(HWND window) : CVrPlayer(window) {}
  ~CVrPlayerEx() override;
  HRESULT Close() override;
  HRESULT WindowRect(const RECT* rect, int x, int y) override;
  HRESULT OnParentPaint(HWND window, HDC deviceContext) override;
  HRESULT DisplayModeChanged() override;
  virtual HRESULT SetColorKey(DWORD colour);
  virtual HRESULT AddVmr7();
  virtual HRESULT AddVmr9() { return E_NOTIMPL; }
  virtual HRESULT AddEvr() { return E_NOTIMPL; }

 protected:
  HRESULT CloseRenderer();
  IVMRWindowlessControl* m_vmr7Control = nullptr;
  bool m_positionValid = false;
  DWORD m_colourKey = 0xFFFFFFFF;
  CCritSec m_rendererLock;
};

// The push source, the pending media type and allocator properties.
class CVrNspPlayer : public CVrPlayerEx {
 public:
  explicit CVrNspPlayer(HWND window) : CVrPlayerEx(window) {}
  ~CVrNspPlayer() override;
  HRESULT Open(LPCWSTR, int) override { return E_NOTIMPL; }
  HRESULT Close() override;
  HRESULT Stop() override;
  HRESULT AddRenderer() override;
  virtual HRESULT SelectAndRender(HWND window, DWORD colourKey, IDSFrameProcessor* frameProcessor,
                                  int rendererPreference);
  virtual HRESULT UpdateWindowRectToScroll(int x, int y);
  virtual HRESULT Init(const CMediaType& type);
  virtual HRESULT SetBuffer(const BYTE* data, uint32_t size, const SampleInfoRecord* info);
  virtual HRESULT SetAllocator(const ALLOCATOR_PROPERTIES* properties);
  virtual HRESULT NewSegment(const SegmentRecord* segment);
  virtual HRESULT StopStream();
  virtual HRESULT BeginFlush();
  virtual HRESULT EndFlush();

  // For tests: the colour key the player keeps (0x00RRGGBB).
  DWORD ColourKey() const { return m_colourKey; }
  IFilterGraph* Graph() const { return m_graph; }

 protected:
  HRESULT CloseSource();
  IDSFrameProcessor* m_frameProcessor = nullptr;  // not owned
  CCritSec m_streamLock;
  CMediaType m_pendingType;
  ALLOCATOR_PROPERTIES m_pendingAllocator{};
  CVrNetSource* m_source = nullptr;
  int m_lastScrollX = 0, m_lastScrollY = 0;
};

// The renderless VMR-7 with the library's own presenter.
class CVrNspPlayerEx final : public CVrNspPlayer {
 public:
  CVrNspPlayerEx() : CVrNspPlayer(nullptr) {}
  ~CVrNspPlayerEx() override;
  HRESULT AddVmr7() override;
  HRESULT AddVmr9() override { return E_NOTIMPL; }
  HRESULT AddEvr() override { return E_NOTIMPL; }

  CVrVMR7Presenter* Presenter() const { return m_presenter; }

 private:
  void DetachNotify();
  IVMRSurfaceAllocatorNotify* m_notify = nullptr;
  CVrVMR7Presenter* m_presenter = nullptr;
};
