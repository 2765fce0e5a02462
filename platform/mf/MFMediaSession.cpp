// The media session: resolves a partial topology (sinks activated, a decoder
// and where needed a converter put between each source stream and its
// sink), drives the source, the presentation clock and the sinks through
// start, pause, stop and close, and carries the samples from the source
// streams through the transforms to the stream sinks as the sinks ask.
//
// All of that runs on one thread of the session's own. The public calls
// only queue a command there; the events of the source, its streams and the
// stream sinks reach it through listeners that take each event on a
// Media Foundation work queue and post it to the session thread. Nothing
// calls out to another object while holding the session's lock.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "pelplat/comobject.h"
#include "pelplat/debugout.h"
#include "pelplat/mfsession.h"
#include "pelplat/objbase.h"

namespace pelplat_mf {
namespace {

using pelplat::ComObject;
using pelplat::Query;
using pelplat::Ref;

enum class Origin { kSource, kStream, kStreamSink };

class MediaSession;

// Takes the events of one generator for the session. The session holds it
// while it listens; Detach cuts it off, after which a callback still pending
// on the generator finds nothing to do. A generator takes one subscriber at
// a time and a pending one cannot be withdrawn, so a listener whose topology
// went stays subscribed (parked, serial 0, its events dropped) until a later
// topology over the same source takes it up again or the session ends.
class EventListener : public ComObject<IMFAsyncCallback> {
 public:
  EventListener(MediaSession* session, IMFMediaEventGenerator* generator, Origin origin, size_t branch, unsigned serial)
      : session_(session),
        generator_(Ref<IMFMediaEventGenerator>::Share(generator)),
        origin_(origin),
        branch_(branch),
        serial_(serial) {}

  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IMFAsyncCallback); }
  HRESULT GetParameters(DWORD* flags, DWORD* queue) override {
    if (!flags || !queue) return E_POINTER;
    *flags = 0;
    *queue = MFASYNC_CALLBACK_QUEUE_MULTITHREADED;
    return S_OK;
  }
  HRESULT Invoke(IMFAsyncResult* result) override;

  HRESULT Listen() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!generator_) return MF_E_SHUTDOWN;
    const HRESULT hr = generator_->BeginGetEvent(this, nullptr);
    subscribed_ = SUCCEEDED(hr);
    return hr;
  }
  void Detach() {
    Ref<IMFMediaEventGenerator> generator;
    {
      std::lock_guard<std::mutex> hold(lock_);
      session_ = nullptr;
      generator.swap(generator_);
    }
  }
  // Another use of the same generator; serial 0 is no use at all. Called on
  // the session's thread, which alone reads Serial() without the lock.
  void Retarget(Origin origin, size_t branch, unsigned serial) {
    std::lock_guard<std::mutex> hold(lock_);
    origin_ = origin;
    branch_ = branch;
    serial_ = serial;
  }
  // Still subscribed to this generator's events (to any, for null).
  bool Holds(IMFMediaEventGenerator* generator) {
    std::lock_guard<std::mutex> hold(lock_);
    return subscribed_ && session_ && (!generator || generator_.get() == generator);
  }
  unsigned Serial() const { return serial_; }

 private:
  std::mutex lock_;
  MediaSession* session_;
  Ref<IMFMediaEventGenerator> generator_;
  Origin origin_;
  size_t branch_;
  unsigned serial_;
  bool subscribed_ = false;
};

// One source stream with everything between it and its stream sink.
struct Branch {
  DWORD streamId = 0;
  Ref<IMFTopologyNode> sourceNode;
  Ref<IMFMediaStream> stream;
  Ref<EventListener> streamListener;
  std::vector<Ref<IMFTransform>> transforms;
  Ref<IMFMediaSink> sink;
  Ref<IMFStreamSink> streamSink;
  Ref<IMFMediaTypeHandler> sinkTypes;
  Ref<EventListener> sinkListener;
  std::deque<Ref<IMFSample>> ready;  // decoded, waiting for the sink to ask
  unsigned requests = 0;             // samples the sink asked for and did not get
  bool sourcePending = false;        // a RequestSample is out on the stream
  bool streamEnded = false;
  bool markerPlaced = false;
  bool sinkEnded = false;
};

struct ActivatedSink {
  Ref<IMFMediaSink> sink;
  Ref<IMFActivate> activate;  // null when the node held the sink itself
};

class MediaSession : public ComObject<IMFMediaSession, IMFGetService> {
 public:
  HRESULT Init() {
    HRESULT hr = MFCreateEventQueue(events_.out());
    if (SUCCEEDED(hr)) hr = MFCreatePresentationClock(clock_.out());
    if (FAILED(hr)) return hr;
    worker_ = std::thread([this] { Run(); });
    return S_OK;
  }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IMFGetService) return pelplat::Hand<IMFGetService>(this, object);
    return Answer(riid, object, IID_IMFMediaEventGenerator, IID_IMFMediaSession);
  }

  // ---- event generator ----
  HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override { return events_->GetEvent(flags, event); }
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_->BeginGetEvent(callback, state);
  }
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_->EndGetEvent(result, event);
  }
  HRESULT QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return events_->QueueEventParamVar(type, extended, status, value);
  }

  // ---- commands ----
  HRESULT SetTopology(DWORD, IMFTopology* topology) override {
    if (!topology) return E_INVALIDARG;
    Ref<IMFTopology> held = Ref<IMFTopology>::Share(topology);
    return Command([this, held] { DoSetTopology(held); });
  }
  HRESULT ClearTopologies() override {
    return Command([this] { DoClearTopologies(); });
  }
  HRESULT Start(const GUID* timeFormat, const PROPVARIANT* position) override {
    if (timeFormat && *timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
    PROPVARIANT start;
    PropVariantInit(&start);
    if (position) {
      if (position->vt != VT_EMPTY && position->vt != VT_I8) return E_INVALIDARG;
      start = *position;
    }
    return Command([this, start] { DoStart(start); });
  }
  HRESULT Pause() override {
    return Command([this] { DoPause(); });
  }
  HRESULT Stop() override {
    return Command([this] { DoStop(); });
  }
  HRESULT Close() override {
    return Command([this] { DoClose(); });
  }
  HRESULT Shutdown() override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      shutdown_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    events_->Shutdown();
    // The worker is gone: what it owned is ours now.
    TearDown(true);
    std::deque<std::function<void()>> tasks, commands;
    {
      std::lock_guard<std::mutex> hold(lock_);
      tasks.swap(tasks_);
      commands.swap(commands_);
    }
    return S_OK;
  }
  HRESULT GetClock(IMFClock** clock) override {
    if (!clock) return E_POINTER;
    *clock = nullptr;
    if (IsShutdown()) return MF_E_SHUTDOWN;
    return clock_->QueryInterface(IID_IMFClock, reinterpret_cast<void**>(clock));
  }
  HRESULT GetSessionCapabilities(DWORD* caps) override {
    if (!caps) return E_POINTER;
    if (IsShutdown()) return MF_E_SHUTDOWN;
    *caps = MFSESSIONCAP_START | MFSESSIONCAP_SEEK | MFSESSIONCAP_PAUSE;
    return S_OK;
  }
  HRESULT GetFullTopology(DWORD flags, TOPOID id, IMFTopology** topology) override {
    if (!topology) return E_POINTER;
    *topology = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (shutdown_) return MF_E_SHUTDOWN;
    if (!fullTopology_) return MF_E_INVALIDREQUEST;
    TOPOID mine = 0, partial = 0;
    fullTopology_->GetTopologyID(&mine);
    fullTopology_->GetUINT32(kPartialTopologyId, &partial);
    if (!(flags & MFSESSION_GETFULLTOPOLOGY_CURRENT) && id != mine && id != partial) return MF_E_INVALIDREQUEST;
    *topology = fullTopology_.get();
    (*topology)->AddRef();
    return S_OK;
  }

  // ---- services ----
  HRESULT GetService(REFGUID service, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (service != MR_VIDEO_RENDER_SERVICE && service != MR_VIDEO_MIXER_SERVICE && service != MR_STREAM_VOLUME_SERVICE)
      return MF_E_UNSUPPORTED_SERVICE;
    std::vector<Ref<IUnknown>> candidates;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      candidates = sinks_;
    }
    for (const Ref<IUnknown>& candidate : candidates) {
      Ref<IMFGetService> services = Query<IMFGetService>(candidate.get(), IID_IMFGetService);
      if (services && SUCCEEDED(services->GetService(service, riid, object)) && *object) return S_OK;
      *object = nullptr;
    }
    return MF_E_UNSUPPORTED_SERVICE;
  }

  // Called by a listener with an event of its generator.
  void PostEvent(unsigned serial, Origin origin, size_t branch, IMFMediaEvent* event) {
    Ref<IMFMediaEvent> held = Ref<IMFMediaEvent>::Share(event);
    Post([this, serial, origin, branch, held] { OnEvent(serial, origin, branch, held.get()); });
  }

 private:
  enum class State { kIdle, kStopped, kStarted, kPaused, kClosed };
  enum class Pending { kNone, kStart, kPause, kStop, kClose };

  // An attribute of the full topology: the id of the partial one it came
  // from.
  static constexpr GUID kPartialTopologyId = {
      0x6c1c3a3e, 0x5b0d, 0x4e51, {0x9a, 0x6e, 0x2f, 0x41, 0x73, 0x0d, 0x58, 0x21}};

  ~MediaSession() override {
    if (events_) Shutdown();
  }

  // Swaps the shared sink list and full topology under the lock; the old
  // ones are released by the caller outside it.
  void Publish(std::vector<Ref<IUnknown>>* sinks, Ref<IMFTopology>* topology) {
    std::lock_guard<std::mutex> hold(lock_);
    sinks_.swap(*sinks);
    fullTopology_.swap(*topology);
  }

  bool IsShutdown() {
    std::lock_guard<std::mutex> hold(lock_);
    return shutdown_;
  }

  // Queues a command; commands run one after the other, the next only once
  // the one before has finished (some wait for the source's answer).
  HRESULT Command(std::function<void()> command) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return MF_E_SHUTDOWN;
      commands_.push_back(std::move(command));
      tasks_.push_back([this] { NextCommand(); });
    }
    wake_.notify_all();
    return S_OK;
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (shutdown_) return;
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }

  void Run() {
    // Decoders come from the class registry, which wants an apartment.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return shutdown_ || !tasks_.empty(); });
      if (shutdown_) break;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      hold.unlock();
      task();
      task = nullptr;
      hold.lock();
    }
    hold.unlock();
    CoUninitialize();
  }

  // ---- session thread from here on ----
  void NextCommand() {
    if (pending_ != Pending::kNone) return;
    std::function<void()> command;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (commands_.empty()) return;
      command = std::move(commands_.front());
      commands_.pop_front();
    }
    command();
    // A command that finished at once lets the next one run.
    if (pending_ == Pending::kNone) Post([this] { NextCommand(); });
  }
  void Finish() {
    pending_ = Pending::kNone;
    Post([this] { NextCommand(); });
  }

  void Queue(MediaEventType type, HRESULT status, IUnknown* value = nullptr) {
    events_->QueueEventParamUnk(type, GUID_NULL, status, value);
  }
  void QueueTopologyStatus(MF_TOPOSTATUS status) {
    Ref<IMFMediaEvent> event;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (fullTopology_) {
      value.vt = VT_UNKNOWN;
      value.punkVal = fullTopology_.get();
    }
    if (FAILED(MFCreateMediaEvent(MESessionTopologyStatus, GUID_NULL, S_OK, &value, event.out()))) return;
    event->SetUINT32(MF_EVENT_TOPOLOGY_STATUS, status);
    events_->QueueEvent(event.get());
  }

  void DoSetTopology(const Ref<IMFTopology>& partial) {
    if (state_ == State::kClosed) {
      Queue(MESessionTopologySet, MF_E_INVALIDREQUEST, partial.get());
      return;
    }
    if (state_ == State::kStarted || state_ == State::kPaused) {
      // Only a stopped session takes another topology.
      Queue(MESessionTopologySet, MF_E_INVALIDREQUEST, partial.get());
      return;
    }
    TearDown();
    const HRESULT hr = Resolve(partial.get());
    if (FAILED(hr)) {
      TearDown();
      Queue(MESessionTopologySet, hr, partial.get());
      return;
    }
    std::vector<Ref<IUnknown>> sinks;
    for (const ActivatedSink& s : activated_) sinks.push_back(Ref<IUnknown>::Share(s.sink.get()));
    for (const Branch& b : branches_) sinks.push_back(Ref<IUnknown>::Share(b.streamSink.get()));
    Ref<IMFTopology> topology = full_;
    Publish(&sinks, &topology);
    state_ = State::kStopped;
    startedOnce_ = false;
    Queue(MESessionTopologySet, S_OK, full_.get());
    QueueTopologyStatus(MF_TOPOSTATUS_READY);
  }

  void DoClearTopologies() {
    if (state_ == State::kStarted || state_ == State::kPaused) {
      Queue(MESessionTopologiesCleared, MF_E_INVALIDREQUEST);
      return;
    }
    TearDown();
    if (state_ != State::kClosed) state_ = State::kIdle;
    Queue(MESessionTopologiesCleared, S_OK);
  }

  void DoStart(PROPVARIANT position) {
    if (state_ == State::kIdle || state_ == State::kClosed || !source_) {
      Queue(MESessionStarted, MF_E_INVALIDREQUEST);
      return;
    }
    const bool seek = position.vt == VT_I8 && state_ != State::kStopped;
    if (seek) Flush(false);
    startPosition_ = position;
    // A resume goes on where the pause left the branches: a stream that had
    // ended keeps its end, and the marker already placed still ends it.
    const bool resume = state_ == State::kPaused && !seek;
    if (!resume) {
      for (Branch& b : branches_) {
        b.streamEnded = b.markerPlaced = b.sinkEnded = false;
        for (const Ref<IMFTransform>& t : b.transforms) t->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
      }
    }
    ended_ = false;
    const HRESULT hr = source_->Start(descriptor_.get(), &GUID_NULL, &position);
    if (FAILED(hr)) {
      Queue(MESessionStarted, hr);
      return;
    }
    pending_ = Pending::kStart;
  }
  void StartDone(HRESULT status) {
    if (FAILED(status)) {
      Queue(MESessionStarted, status);
      Finish();
      return;
    }
    clock_->Start(startPosition_.vt == VT_I8 ? startPosition_.hVal : PRESENTATION_CURRENT_POSITION);
    state_ = State::kStarted;
    if (!startedOnce_) {
      startedOnce_ = true;
      QueueTopologyStatus(MF_TOPOSTATUS_STARTED_SOURCE);
    }
    Ref<IMFMediaEvent> event;
    if (SUCCEEDED(MFCreateMediaEvent(MESessionStarted, GUID_NULL, S_OK, nullptr, event.out()))) {
      event->SetUINT64(MF_EVENT_PRESENTATION_TIME_OFFSET, 0);
      events_->QueueEvent(event.get());
    }
    Finish();
    for (size_t i = 0; i < branches_.size(); ++i) Pump(i);
  }

  void DoPause() {
    if (state_ != State::kStarted) {
      Queue(MESessionPaused, MF_E_INVALIDREQUEST);
      return;
    }
    const HRESULT hr = source_->Pause();
    if (FAILED(hr)) {
      Queue(MESessionPaused, hr);
      return;
    }
    pending_ = Pending::kPause;
  }
  void PauseDone(HRESULT status) {
    if (SUCCEEDED(status)) {
      clock_->Pause();
      state_ = State::kPaused;
    }
    Queue(MESessionPaused, status);
    Finish();
  }

  void DoStop() {
    if (state_ == State::kIdle || state_ == State::kClosed) {
      Queue(MESessionStopped, MF_E_INVALIDREQUEST);
      return;
    }
    if (state_ == State::kStopped) {
      Queue(MESessionStopped, S_OK);
      return;
    }
    const HRESULT hr = source_->Stop();
    if (FAILED(hr)) {
      Queue(MESessionStopped, hr);
      return;
    }
    pending_ = Pending::kStop;
  }
  void StopDone(HRESULT status) {
    if (SUCCEEDED(status)) {
      clock_->Stop();
      Flush(true);
      state_ = State::kStopped;
    }
    Queue(MESessionStopped, status);
    Finish();
  }

  void DoClose() {
    if (state_ == State::kClosed) {
      Queue(MESessionClosed, S_OK);
      return;
    }
    // A source that is already shut down answers at once with a failure;
    // the close goes on without its answer.
    if ((state_ == State::kStarted || state_ == State::kPaused) && source_ && SUCCEEDED(source_->Stop())) {
      pending_ = Pending::kClose;
      return;
    }
    CloseDone();
  }
  void CloseDone() {
    clock_->Stop();
    TearDown(true);
    state_ = State::kClosed;
    Queue(MESessionClosed, S_OK);
    if (pending_ != Pending::kNone) Finish();
  }

  // Drops every sample on its way; a stop also forgets what the sinks asked.
  // A request out on the source may be dropped by a stop or a seek: the
  // next one is asked for rather than waiting for it forever.
  void Flush(bool stop) {
    for (Branch& b : branches_) {
      for (const Ref<IMFTransform>& t : b.transforms) t->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
      if (b.streamSink) b.streamSink->Flush();
      b.ready.clear();
      b.sourcePending = false;
      if (stop) b.requests = 0;
    }
  }

  // Releases the topology and all it made; the sinks are shut down.
  void TearDown(bool final = false) {
    for (Branch& b : branches_) {
      Park(std::move(b.streamListener));
      if (b.sinkListener) b.sinkListener->Detach();
      for (const Ref<IMFTransform>& t : b.transforms) {
        t->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
        t->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
      }
    }
    Park(std::move(sourceListener_));
    if (final) {
      for (const Ref<EventListener>& l : parked_) l->Detach();
      parked_.clear();
    }
    for (ActivatedSink& s : activated_) {
      s.sink->SetPresentationClock(nullptr);
      s.sink->Shutdown();
      if (s.activate) s.activate->ShutdownObject();
    }
    activated_.clear();
    branches_.clear();
    source_ = Ref<IMFMediaSource>();
    descriptor_ = Ref<IMFPresentationDescriptor>();
    full_ = Ref<IMFTopology>();
    std::vector<Ref<IUnknown>> sinks;
    Ref<IMFTopology> topology;
    Publish(&sinks, &topology);
  }

  // ---- resolution ----
  HRESULT Resolve(IMFTopology* partial) {
    WORD count = 0;
    HRESULT hr = partial->GetNodeCount(&count);
    if (FAILED(hr)) return hr;
    hr = MFCreateTopology(full_.out());
    if (FAILED(hr)) return hr;
    TOPOID partialId = 0;
    partial->GetTopologyID(&partialId);
    full_->SetUINT32(kPartialTopologyId, partialId);
    for (WORD i = 0; i < count; ++i) {
      Ref<IMFTopologyNode> node;
      if (FAILED(partial->GetNode(i, node.out()))) return E_UNEXPECTED;
      MF_TOPOLOGY_TYPE type = MF_TOPOLOGY_OUTPUT_NODE;
      node->GetNodeType(&type);
      if (type != MF_TOPOLOGY_SOURCESTREAM_NODE) continue;
      hr = ResolveBranch(node.get());
      if (FAILED(hr)) return hr;
    }
    if (branches_.empty()) return MF_E_TOPO_UNSUPPORTED;
    sourceListener_ = Listen(source_.get(), Origin::kSource, 0, &hr);
    if (!sourceListener_) return hr;
    for (size_t i = 0; i < branches_.size(); ++i) {
      branches_[i].sinkListener = Listen(branches_[i].streamSink.get(), Origin::kStreamSink, i, &hr);
      if (!branches_[i].sinkListener) return hr;
    }
    return S_OK;
  }

  // A listener subscribed to the generator's events, or none with the
  // reason in `hr` (a generator another listener still holds answers
  // MF_E_MULTIPLE_BEGIN).
  // A listener of an earlier topology keeps its generator's events from
  // now on; those that lost their subscription meanwhile are let go.
  void Park(Ref<EventListener> listener) {
    if (!listener) return;
    listener->Retarget(Origin::kSource, 0, 0);
    parked_.push_back(std::move(listener));
  }
  Ref<EventListener> Unpark(IMFMediaEventGenerator* generator) {
    Ref<EventListener> found;
    for (auto it = parked_.begin(); it != parked_.end();) {
      if (!found && (*it)->Holds(generator)) {
        found = std::move(*it);
        it = parked_.erase(it);
      } else if (!(*it)->Holds(nullptr)) {
        (*it)->Detach();
        it = parked_.erase(it);
      } else {
        ++it;
      }
    }
    return found;
  }

  Ref<EventListener> Listen(IMFMediaEventGenerator* generator, Origin origin, size_t branch, HRESULT* hr) {
    if (Ref<EventListener> parked = Unpark(generator)) {
      parked->Retarget(origin, branch, ++serials_);
      *hr = S_OK;
      return parked;
    }
    Ref<EventListener> listener(new (std::nothrow) EventListener(this, generator, origin, branch, ++serials_));
    *hr = listener ? listener->Listen() : E_OUTOFMEMORY;
    if (FAILED(*hr)) listener = Ref<EventListener>();
    return listener;
  }

  HRESULT ResolveBranch(IMFTopologyNode* node) {
    Branch b;
    b.sourceNode = Ref<IMFTopologyNode>::Share(node);
    Ref<IMFMediaSource> source;
    Ref<IMFPresentationDescriptor> descriptor;
    Ref<IMFStreamDescriptor> stream;
    if (FAILED(node->GetUnknown(MF_TOPONODE_SOURCE, IID_IMFMediaSource, source.outVoid())) ||
        FAILED(node->GetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, IID_IMFPresentationDescriptor,
                                descriptor.outVoid())) ||
        FAILED(node->GetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, IID_IMFStreamDescriptor, stream.outVoid())))
      return MF_E_TOPO_UNSUPPORTED;
    // One source per topology.
    if (source_ && source_.get() != source.get()) return MF_E_TOPO_UNSUPPORTED;
    source_ = source;
    if (!descriptor_) descriptor_ = descriptor;
    stream->GetStreamIdentifier(&b.streamId);
    for (const Branch& other : branches_)
      if (other.streamId == b.streamId) return MF_E_TOPO_UNSUPPORTED;

    // The node downstream must be the output node: transform nodes of the
    // caller's are not taken.
    Ref<IMFTopologyNode> output;
    DWORD input = 0;
    MF_TOPOLOGY_TYPE type = MF_TOPOLOGY_SOURCESTREAM_NODE;
    if (FAILED(node->GetOutput(0, output.out(), &input)) || FAILED(output->GetNodeType(&type)) ||
        type != MF_TOPOLOGY_OUTPUT_NODE)
      return MF_E_TOPO_UNSUPPORTED;
    HRESULT hr = ActivateSink(output.get(), &b);
    if (FAILED(hr)) return hr;

    Ref<IMFMediaTypeHandler> sourceTypes;
    Ref<IMFMediaType> type0;
    hr = stream->GetMediaTypeHandler(sourceTypes.out());
    if (FAILED(hr)) return hr;
    if (FAILED(sourceTypes->GetCurrentMediaType(type0.out()))) {
      hr = sourceTypes->GetMediaTypeByIndex(0, type0.out());
      if (FAILED(hr)) return MF_E_TOPO_UNSUPPORTED;
      sourceTypes->SetCurrentMediaType(type0.get());
    }
    hr = b.streamSink->GetMediaTypeHandler(b.sinkTypes.out());
    if (FAILED(hr)) return hr;
    hr = Connect(type0.get(), &b);
    if (FAILED(hr)) return hr;
    for (const Ref<IMFTransform>& t : b.transforms) t->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    hr = AddToFullTopology(b);
    if (FAILED(hr)) return hr;
    branches_.push_back(std::move(b));
    return S_OK;
  }

  // The output node's object: an activation object for a media sink, a
  // media sink or a stream sink. Stream sink 0 is used.
  HRESULT ActivateSink(IMFTopologyNode* output, Branch* b) {
    Ref<IUnknown> object;
    if (FAILED(output->GetObject(object.out()))) return MF_E_TOPO_UNSUPPORTED;
    Ref<IMFActivate> activate = Query<IMFActivate>(object.get(), IID_IMFActivate);
    Ref<IMFMediaSink> sink;
    HRESULT hr = S_OK;
    if (activate) {
      hr = activate->ActivateObject(IID_IMFMediaSink, sink.outVoid());
      if (FAILED(hr)) return hr;
    } else {
      sink = Query<IMFMediaSink>(object.get(), IID_IMFMediaSink);
    }
    if (sink) {
      bool known = false;
      for (const ActivatedSink& s : activated_) known = known || s.sink.get() == sink.get();
      if (!known) {
        activated_.push_back({sink, activate});
        hr = sink->SetPresentationClock(clock_.get());
        if (FAILED(hr)) return hr;
      }
      hr = sink->GetStreamSinkByIndex(0, b->streamSink.out());
      if (FAILED(hr)) return hr;
      b->sink = sink;
      return S_OK;
    }
    b->streamSink = Query<IMFStreamSink>(object.get(), IID_IMFStreamSink);
    if (!b->streamSink) return MF_E_TOPO_UNSUPPORTED;
    hr = b->streamSink->GetMediaSink(b->sink.out());
    if (FAILED(hr)) return hr;
    bool known = false;
    for (const ActivatedSink& s : activated_) known = known || s.sink.get() == b->sink.get();
    if (!known) {
      activated_.push_back({b->sink, Ref<IMFActivate>()});
      return b->sink->SetPresentationClock(clock_.get());
    }
    return S_OK;
  }

  static Ref<IMFTransform> MakeTransform(REFCLSID clsid) {
    Ref<IMFTransform> transform;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, transform.outVoid());
    return transform;
  }

  static std::vector<CLSID> Enumerate(REFGUID category, REFGUID major, REFGUID subtype) {
    MFT_REGISTER_TYPE_INFO input{major, subtype};
    CLSID* ids = nullptr;
    UINT32 count = 0;
    std::vector<CLSID> found;
    if (SUCCEEDED(MFTEnum(category, 0, &input, nullptr, nullptr, &ids, &count)) && ids) found.assign(ids, ids + count);
    CoTaskMemFree(ids);
    return found;
  }

  // A copy of the sink's listed type with the frame size of `picture`.
  static Ref<IMFMediaType> SizedLike(IMFMediaType* listed, IMFMediaType* picture) {
    Ref<IMFMediaType> made;
    if (FAILED(MFCreateMediaType(made.out())) || FAILED(listed->CopyAllItems(made.get()))) return Ref<IMFMediaType>();
    UINT64 size = 0;
    if (SUCCEEDED(picture->GetUINT64(MF_MT_FRAME_SIZE, &size))) made->SetUINT64(MF_MT_FRAME_SIZE, size);
    return made;
  }

  // Direct when the sink takes the stream's type; else a decoder whose
  // output the sink takes, else a decoder and a converter.
  HRESULT Connect(IMFMediaType* type, Branch* b) {
    if (b->sinkTypes->IsMediaTypeSupported(type, nullptr) == S_OK) return b->sinkTypes->SetCurrentMediaType(type);
    GUID major{}, subtype{};
    type->GetGUID(MF_MT_MAJOR_TYPE, &major);
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    GUID category{};
    if (major == MFMediaType_Video) {
      category = MFT_CATEGORY_VIDEO_DECODER;
    } else if (major == MFMediaType_Audio) {
      category = MFT_CATEGORY_AUDIO_DECODER;
    } else {
      return MF_E_TOPO_CODEC_NOT_FOUND;
    }
    for (const CLSID& clsid : Enumerate(category, major, subtype)) {
      Ref<IMFTransform> decoder = MakeTransform(clsid);
      if (!decoder || FAILED(decoder->SetInputType(0, type, 0))) continue;
      if (ConnectDecoder(decoder, major, b)) return S_OK;
    }
    return MF_E_TOPO_CODEC_NOT_FOUND;
  }

  bool ConnectDecoder(const Ref<IMFTransform>& decoder, REFGUID major, Branch* b) {
    Ref<IMFMediaType> offered;
    for (DWORD i = 0; SUCCEEDED(decoder->GetOutputAvailableType(0, i, offered.out())); ++i) {
      if (b->sinkTypes->IsMediaTypeSupported(offered.get(), nullptr) != S_OK) continue;
      if (FAILED(decoder->SetOutputType(0, offered.get(), 0))) continue;
      if (FAILED(b->sinkTypes->SetCurrentMediaType(offered.get()))) continue;
      b->transforms = {decoder};
      return true;
    }
    if (major != MFMediaType_Video) return false;
    for (DWORD i = 0; SUCCEEDED(decoder->GetOutputAvailableType(0, i, offered.out())); ++i) {
      if (FAILED(decoder->SetOutputType(0, offered.get(), 0))) continue;
      GUID subtype{};
      offered->GetGUID(MF_MT_SUBTYPE, &subtype);
      for (const CLSID& clsid : Enumerate(MFT_CATEGORY_VIDEO_PROCESSOR, major, subtype)) {
        Ref<IMFTransform> converter = MakeTransform(clsid);
        if (!converter || FAILED(converter->SetInputType(0, offered.get(), 0))) continue;
        Ref<IMFMediaType> listed;
        for (DWORD k = 0; SUCCEEDED(b->sinkTypes->GetMediaTypeByIndex(k, listed.out())); ++k) {
          Ref<IMFMediaType> wanted = SizedLike(listed.get(), offered.get());
          if (!wanted || FAILED(converter->SetOutputType(0, wanted.get(), 0))) continue;
          if (FAILED(b->sinkTypes->SetCurrentMediaType(wanted.get()))) continue;
          b->transforms = {decoder, converter};
          return true;
        }
      }
    }
    return false;
  }

  HRESULT AddToFullTopology(const Branch& b) {
    Ref<IMFTopologyNode> source, output;
    HRESULT hr = MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, source.out());
    if (SUCCEEDED(hr)) hr = b.sourceNode->CopyAllItems(source.get());
    if (SUCCEEDED(hr)) hr = full_->AddNode(source.get());
    if (FAILED(hr)) return hr;
    Ref<IMFTopologyNode> last = source;
    for (const Ref<IMFTransform>& t : b.transforms) {
      Ref<IMFTopologyNode> node;
      hr = MFCreateTopologyNode(MF_TOPOLOGY_TRANSFORM_NODE, node.out());
      if (SUCCEEDED(hr)) hr = node->SetObject(t.get());
      if (SUCCEEDED(hr)) hr = full_->AddNode(node.get());
      if (SUCCEEDED(hr)) hr = last->ConnectOutput(0, node.get(), 0);
      if (FAILED(hr)) return hr;
      last = node;
    }
    hr = MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, output.out());
    if (SUCCEEDED(hr)) hr = output->SetObject(b.streamSink.get());
    if (SUCCEEDED(hr)) hr = full_->AddNode(output.get());
    if (SUCCEEDED(hr)) hr = last->ConnectOutput(0, output.get(), 0);
    return hr;
  }

  // ---- events ----
  void OnEvent(unsigned serial, Origin origin, size_t index, IMFMediaEvent* event) {
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    event->GetType(&type);
    event->GetStatus(&status);
    if (origin == Origin::kSource) {
      if (!sourceListener_ || sourceListener_->Serial() != serial) return;
      OnSourceEvent(type, status, event);
      return;
    }
    if (index >= branches_.size()) return;
    Branch& b = branches_[index];
    const Ref<EventListener>& listener = origin == Origin::kStream ? b.streamListener : b.sinkListener;
    if (!listener || listener->Serial() != serial) return;
    if (type == MEError) {
      Queue(MEError, status);
      return;
    }
    if (origin == Origin::kStream) {
      OnStreamEvent(index, type, status, event);
    } else {
      OnSinkEvent(index, type, status);
    }
  }

  void OnSourceEvent(MediaEventType type, HRESULT status, IMFMediaEvent* event) {
    switch (type) {
      case MENewStream:
      case MEUpdatedStream:
        TakeStream(event);
        break;
      case MESourceStarted:
      case MESourceSeeked:
        if (pending_ == Pending::kStart) StartDone(status);
        break;
      case MESourcePaused:
        if (pending_ == Pending::kPause) PauseDone(status);
        break;
      case MESourceStopped:
        if (pending_ == Pending::kStop) StopDone(status);
        if (pending_ == Pending::kClose) CloseDone();
        break;
      case MEError:
        Queue(MEError, status);
        break;
      default:
        break;  // MEEndOfPresentation: the sinks' markers end the session
    }
  }

  void TakeStream(IMFMediaEvent* event) {
    PROPVARIANT value;
    PropVariantInit(&value);
    event->GetValue(&value);
    Ref<IMFMediaStream> stream =
        value.vt == VT_UNKNOWN ? Query<IMFMediaStream>(value.punkVal, IID_IMFMediaStream) : Ref<IMFMediaStream>();
    PropVariantClear(&value);
    Ref<IMFStreamDescriptor> descriptor;
    DWORD id = 0;
    if (!stream || FAILED(stream->GetStreamDescriptor(descriptor.out())) ||
        FAILED(descriptor->GetStreamIdentifier(&id)))
      return;
    for (size_t i = 0; i < branches_.size(); ++i) {
      Branch& b = branches_[i];
      if (b.streamId != id) continue;
      if (b.stream.get() == stream.get() && b.streamListener) return;
      Park(std::move(b.streamListener));
      b.stream = stream;
      b.sourcePending = false;
      HRESULT hr = S_OK;
      b.streamListener = Listen(stream.get(), Origin::kStream, i, &hr);
      if (!b.streamListener) {
        char line[96];
        std::snprintf(line, sizeof line, "Media session: the events of stream %lu cannot be had [0x%08x]\n",
                      static_cast<unsigned long>(id), static_cast<unsigned>(hr));
        OutputDebugStringA(line);
      }
      return;
    }
  }

  void OnStreamEvent(size_t index, MediaEventType type, HRESULT status, IMFMediaEvent* event) {
    Branch& b = branches_[index];
    if (type == MEMediaSample) {
      b.sourcePending = false;
      if (state_ != State::kStarted && state_ != State::kPaused) return;
      PROPVARIANT value;
      PropVariantInit(&value);
      event->GetValue(&value);
      Ref<IMFSample> sample =
          value.vt == VT_UNKNOWN ? Query<IMFSample>(value.punkVal, IID_IMFSample) : Ref<IMFSample>();
      PropVariantClear(&value);
      if (sample && SUCCEEDED(status)) Feed(b, 0, sample.get());
      Pump(index);
    } else if (type == MEEndOfStream) {
      if (b.streamEnded) return;
      b.streamEnded = true;
      b.sourcePending = false;
      Drain(b);
      Pump(index);
    }
  }

  void OnSinkEvent(size_t index, MediaEventType type, HRESULT status) {
    Branch& b = branches_[index];
    if (type == MEStreamSinkRequestSample) {
      if (b.requests < kMaxRequests) ++b.requests;
      Pump(index);
    } else if (type == MEStreamSinkMarker) {
      // A flushed marker comes back with E_ABORT and ends nothing.
      if (FAILED(status) || !b.markerPlaced || b.sinkEnded) return;
      b.sinkEnded = true;
      for (const Branch& other : branches_)
        if (!other.sinkEnded) return;
      if (ended_) return;
      ended_ = true;
      clock_->Stop();
      state_ = State::kStopped;
      startedOnce_ = false;  // playing it again starts the source anew
      QueueTopologyStatus(MF_TOPOSTATUS_ENDED);
      Queue(MESessionEnded, S_OK);
    }
  }

  // Hands decoded samples to the sink as far as it asked, asks the source
  // for more while the sink still waits, and places the end-of-segment
  // marker after the last sample of an ended stream.
  void Pump(size_t index) {
    Branch& b = branches_[index];
    if (state_ != State::kStarted && state_ != State::kPaused) return;
    while (b.requests > 0 && !b.ready.empty()) {
      Ref<IMFSample> sample = std::move(b.ready.front());
      b.ready.pop_front();
      --b.requests;
      b.streamSink->ProcessSample(sample.get());
    }
    if (b.streamEnded) {
      if (b.ready.empty() && !b.markerPlaced) {
        b.markerPlaced = true;
        b.streamSink->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, nullptr);
      }
      return;
    }
    if (b.requests > 0 && b.ready.empty() && !b.sourcePending && b.stream) {
      if (SUCCEEDED(b.stream->RequestSample(nullptr))) b.sourcePending = true;
    }
  }

  // Gives the sample to transform `at` of the branch (past the last one:
  // the sample is ready for the sink) and takes what comes out.
  void Feed(Branch& b, size_t at, IMFSample* sample) {
    if (at >= b.transforms.size()) {
      b.ready.push_back(Ref<IMFSample>::Share(sample));
      return;
    }
    IMFTransform* t = b.transforms[at].get();
    if (t->ProcessInput(0, sample, 0) == MF_E_NOTACCEPTING) {
      TakeOutput(b, at);
      // A sample the transform refuses again is dropped; the stream goes on.
      t->ProcessInput(0, sample, 0);
    }
    TakeOutput(b, at);
  }

  void Drain(Branch& b) {
    for (size_t i = 0; i < b.transforms.size(); ++i) {
      b.transforms[i]->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
      b.transforms[i]->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
      TakeOutput(b, i);
    }
  }

  // Every output transform `at` has now, each passed downstream.
  void TakeOutput(Branch& b, size_t at) {
    IMFTransform* t = b.transforms[at].get();
    // Bounded: a transform that keeps changing its stream, or never stops
    // giving output, cannot hold the session thread.
    int changes = 0;
    for (int round = 0; round < kMaxOutputRounds; ++round) {
      MFT_OUTPUT_STREAM_INFO info{};
      if (FAILED(t->GetOutputStreamInfo(0, &info))) return;
      Ref<IMFSample> out;
      if (!(info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES)) {
        Ref<IMFMediaBuffer> buffer;
        const DWORD alignment = info.cbAlignment > 1 ? info.cbAlignment - 1 : 0;
        if (FAILED(MFCreateSample(out.out())) ||
            FAILED(MFCreateAlignedMemoryBuffer(std::max<DWORD>(info.cbSize, 1), alignment, buffer.out())) ||
            FAILED(out->AddBuffer(buffer.get())))
          return;
      }
      MFT_OUTPUT_DATA_BUFFER data{0, out.get(), 0, nullptr};
      DWORD status = 0;
      const HRESULT hr = t->ProcessOutput(0, 1, &data, &status);
      if (data.pEvents) data.pEvents->Release();
      // A transform that provides its samples hands over a reference.
      Ref<IMFSample> produced = data.pSample && data.pSample != out.get() ? Ref<IMFSample>(data.pSample) : out;
      if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        if (++changes > kMaxStreamChanges || FAILED(Renegotiate(b, at))) return;
        continue;
      }
      changes = 0;
      if (FAILED(hr)) return;  // MF_E_TRANSFORM_NEED_MORE_INPUT among others
      if (produced) Feed(b, at + 1, produced.get());
    }
  }

  // Transform `at` has a new output format: it takes the type it offers of
  // the subtype it gave so far; the converter after it, or the sink, follow.
  HRESULT Renegotiate(Branch& b, size_t at) {
    IMFTransform* t = b.transforms[at].get();
    GUID current{};
    Ref<IMFMediaType> old;
    if (SUCCEEDED(t->GetOutputCurrentType(0, old.out()))) old->GetGUID(MF_MT_SUBTYPE, &current);
    Ref<IMFMediaType> offered, chosen;
    for (DWORD i = 0; SUCCEEDED(t->GetOutputAvailableType(0, i, offered.out())); ++i) {
      GUID subtype{};
      offered->GetGUID(MF_MT_SUBTYPE, &subtype);
      if (!chosen) chosen = offered;
      if (subtype == current) {
        chosen = offered;
        break;
      }
    }
    if (!chosen) return MF_E_INVALIDMEDIATYPE;
    HRESULT hr = t->SetOutputType(0, chosen.get(), 0);
    if (FAILED(hr)) return hr;
    if (at + 1 == b.transforms.size()) return b.sinkTypes->SetCurrentMediaType(chosen.get());
    IMFTransform* next = b.transforms[at + 1].get();
    Ref<IMFMediaType> sinkType;
    hr = b.sinkTypes->GetCurrentMediaType(sinkType.out());
    if (FAILED(hr)) return hr;
    Ref<IMFMediaType> wanted = SizedLike(sinkType.get(), chosen.get());
    if (!wanted) return E_OUTOFMEMORY;
    next->SetInputType(0, nullptr, 0);
    next->SetOutputType(0, nullptr, 0);
    hr = next->SetInputType(0, chosen.get(), 0);
    if (SUCCEEDED(hr)) hr = next->SetOutputType(0, wanted.get(), 0);
    if (SUCCEEDED(hr)) hr = b.sinkTypes->SetCurrentMediaType(wanted.get());
    return hr;
  }

  static constexpr unsigned kMaxRequests = 1024;
  static constexpr int kMaxOutputRounds = 1 << 16;
  static constexpr int kMaxStreamChanges = 4;

  // Shared between the caller's threads and the session thread.
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::deque<std::function<void()>> commands_;
  bool shutdown_ = false;
  std::vector<Ref<IUnknown>> sinks_;  // media and stream sinks, for GetService
  Ref<IMFTopology> fullTopology_;
  std::thread worker_;
  Ref<IMFMediaEventQueue> events_;
  Ref<IMFPresentationClock> clock_;

  // The session thread's own.
  State state_ = State::kIdle;
  Pending pending_ = Pending::kNone;
  PROPVARIANT startPosition_{};
  bool startedOnce_ = false;
  bool ended_ = false;
  unsigned serials_ = 0;
  Ref<IMFMediaSource> source_;
  Ref<IMFPresentationDescriptor> descriptor_;
  Ref<EventListener> sourceListener_;
  std::vector<Ref<EventListener>> parked_;
  Ref<IMFTopology> full_;
  std::vector<Branch> branches_;
  std::vector<ActivatedSink> activated_;
};

HRESULT EventListener::Invoke(IMFAsyncResult* result) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!session_ || !generator_) return S_OK;
  Ref<IMFMediaEvent> event;
  if (FAILED(generator_->EndGetEvent(result, event.out()))) {  // the generator shut down
    subscribed_ = false;
    return S_OK;
  }
  session_->PostEvent(serial_, origin_, branch_, event.get());
  subscribed_ = SUCCEEDED(generator_->BeginGetEvent(this, nullptr));
  return S_OK;
}

}  // namespace
}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFCreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session) {
  if (!session) return E_POINTER;
  *session = nullptr;
  if (configuration) return E_INVALIDARG;
  MediaSession* made = new (std::nothrow) MediaSession();
  if (!made) return E_OUTOFMEMORY;
  const HRESULT hr = made->Init();
  if (FAILED(hr)) {
    made->Release();
    return hr;
  }
  *session = made;
  return S_OK;
}
