// The push source at the head of the player's graph: one output pin that
// offers the stream's media type and delivers the samples the program
// pushes, each stamped with the properties that came with it.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "pelplat/dshowbase.h"
#include "streamshared/StreamRecords.h"

PELPLAT_GUID(CLSID_VrNetSource, 0x7AE1EF7F, 0x2BFA, 0x48B3, 0x99, 0x29, 0xA2, 0x43, 0x8B, 0x98, 0xDA, 0xED);

class CVrNetSource;

// One queued sample: a copy of the bytes and of the sample record.
struct NetSample {
  std::vector<BYTE> data;
  uint32_t size = 0;
  uint32_t remaining = 0;
  SampleInfoRecord info;
  bool hasInfo = false;
};

class CVrVideoNetSourceStream final : public CSourceStream, public CSourceSeeking {
 public:
  CVrVideoNetSourceStream(HRESULT* hr, CVrNetSource* filter);
  ~CVrVideoNetSourceStream() override;

  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  HRESULT QueueSample(const BYTE* data, uint32_t size, const SampleInfoRecord* info);
  // The player's new segment. An output pin receives none from the graph,
  // so the pin's IPin::NewSegment serves as this command.
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  void SetAllocatorProperties(const ALLOCATOR_PROPERTIES& properties);
  HRESULT DropQueue();
  void BeginFlushCommand();
  void EndFlushCommand();
  void StopStreamCommand();
  size_t QueuedCount();

  HRESULT GetMediaType(CMediaType* type) override;
  using CSourceStream::GetMediaType;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT Notify(IBaseFilter*, Quality) override { return S_OK; }

  HRESULT SetRate(double rate) override;

 protected:
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadCreate() override;
  HRESULT FillSample(IMediaSample*& sample) override;
  void WaitForData() override;
  HRESULT ChangeStart() override;
  HRESULT ChangeStop() override;
  HRESULT ChangeRate() override { return S_OK; }

 private:
  HRESULT ReallocateBuffers(uint32_t size, IMediaSample*& sample);
  void RestartDelivery();
  void SetWake();
  void WaitWake(int milliseconds);
  // Asks the thread to stop; it does not sit out its wait for data while
  // the request is on its way.
  void StopWaking();
  void StopWorker();

  CCritSec streamLock_;
  CCritSec seekingLock_;
  ALLOCATOR_PROPERTIES pending_{};
  std::deque<NetSample*> queue_;
  std::mutex wakeMutex_;
  std::condition_variable wakeChanged_;
  bool wake_ = false;
  bool stopping_ = false;  // a stop request is being made
};

class CVrNetSource final : public CSource, public IAMFilterMiscFlags, public IFileSourceFilter {
 public:
  explicit CVrNetSource(HRESULT* hr);
  ~CVrNetSource() override;
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

  ULONG GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }
  HRESULT Load(LPCWSTR, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  HRESULT GetCurFile(LPWSTR* fileName, AM_MEDIA_TYPE* type) override;

  HRESULT SetStreamMediaType(const CMediaType& type);
  HRESULT SetAllocatorProperties(const ALLOCATOR_PROPERTIES& properties);
  HRESULT QueueSample(const BYTE* data, uint32_t size, const SampleInfoRecord* info);
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
  HRESULT BeginFlush();
  HRESULT EndFlush();
  HRESULT StopStream();
  HRESULT DropQueue();

  CVrVideoNetSourceStream* Stream();
};
