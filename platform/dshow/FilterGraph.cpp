// The filter graph: filters by name, direct and intelligent connection
// through the filter mapper's decoders, state changes from the renderers
// up to the sources, the event queue, and seeking and window calls passed
// to the filters that serve them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

namespace {

size_t U16Length(LPCWSTR text) {
  size_t n = 0;
  while (text && text[n]) ++n;
  return n;
}

template <typename Fn>
void ForEachPin(IBaseFilter* filter, Fn fn) {
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return;
  IPin* pin = nullptr;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    const bool more = fn(pin);
    pin->Release();
    if (!more) break;
  }
  pins->Release();
}

PIN_DIRECTION Direction(IPin* pin) {
  PIN_DIRECTION d = PINDIR_INPUT;
  pin->QueryDirection(&d);
  return d;
}

IBaseFilter* OwnerOf(IPin* pin) {
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
  IBaseFilter* f = info.pFilter;
  if (f) f->Release();  // the graph holds it
  return f;
}

class CFilterGraph final : public CUnknown,
                           public IGraphBuilder,
                           public IMediaControl,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public IMediaSeeking,
                           public IVideoWindow {
 public:
  CFilterGraph() : CUnknown("CFilterGraph", nullptr) {}
  ~CFilterGraph() override {
    Stop();
    for (auto& f : filters_) DisconnectAll(f.filter);
    for (auto& f : filters_) {
      f.filter->JoinFilterGraph(nullptr, nullptr);
      f.filter->Release();
    }
  }
  DECLARE_IUNKNOWN

  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
      return GetInterface(static_cast<IGraphBuilder*>(this), object);
    if (riid == IID_IMediaControl) return GetInterface(static_cast<IMediaControl*>(this), object);
    if (riid == IID_IMediaEventEx) return GetInterface(static_cast<IMediaEventEx*>(this), object);
    if (riid == IID_IMediaEventSink) return GetInterface(static_cast<IMediaEventSink*>(this), object);
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), object);
    if (riid == IID_IVideoWindow) return GetInterface(static_cast<IVideoWindow*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }

  // ---- IFilterGraph
  HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override {
    if (!filter) return E_POINTER;
    std::u16string wanted = name ? std::u16string(name, U16Length(name)) : u"Filter";
    {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      std::u16string unique = wanted;
      for (int n = 1; Find(unique); ++n) unique = wanted + u" " + std::u16string(1, u'0' + n % 10);
      filter->AddRef();
      filters_.push_back({filter, unique});
      wanted = unique;
    }
    const HRESULT hr = filter->JoinFilterGraph(this, wanted.c_str());
    if (FAILED(hr)) {
      RemoveFilter(filter);
      return hr;
    }
    return S_OK;
  }

  HRESULT RemoveFilter(IBaseFilter* filter) override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    auto it = std::find_if(filters_.begin(), filters_.end(), [filter](const Entry& e) { return e.filter == filter; });
    if (it == filters_.end()) return VFW_E_NOT_FOUND;
    filter->Stop();
    DisconnectAll(filter);
    filter->JoinFilterGraph(nullptr, nullptr);
    filters_.erase(it);
    filter->Release();
    return S_OK;
  }

  HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) override {
    if (!name || !filter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    Entry* e = Find(std::u16string(name, U16Length(name)));
    *filter = e ? e->filter : nullptr;
    if (!e) return VFW_E_NOT_FOUND;
    e->filter->AddRef();
    return S_OK;
  }

  HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override {
    if (!out || !in) return E_POINTER;
    return out->Connect(in, type);
  }

  HRESULT Disconnect(IPin* pin) override { return pin ? pin->Disconnect() : E_POINTER; }

  // ---- IGraphBuilder
  HRESULT Connect(IPin* out, IPin* in) override {
    if (!out || !in) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (SUCCEEDED(out->Connect(in, nullptr))) return S_OK;
    return ConnectThroughDecoder(out, [in](IPin* decoded) { return decoded->Connect(in, nullptr); });
  }

  HRESULT Render(IPin* out) override {
    if (!out) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    return RenderPin(out, 0);
  }

  // ---- IMediaControl
  HRESULT Run() override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    if (state_ == State_Stopped) {
      const HRESULT hr = Pause();
      if (FAILED(hr)) return hr;
    }
    const HRESULT hr = ForEachFilterDownstreamFirst([](IBaseFilter* f) { return f->Run(0); });
    if (SUCCEEDED(hr)) state_ = State_Running;
    return hr;
  }
  HRESULT Pause() override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    const HRESULT hr = ForEachFilterDownstreamFirst([](IBaseFilter* f) { return f->Pause(); });
    if (SUCCEEDED(hr)) state_ = State_Paused;
    return hr;
  }
  HRESULT Stop() override {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    const HRESULT hr = ForEachFilterDownstreamFirst([](IBaseFilter* f) { return f->Stop(); });
    state_ = State_Stopped;
    return hr;
  }
  HRESULT GetState(LONG, OAFilterState* state) override {
    if (!state) return E_POINTER;
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    *state = state_;
    return S_OK;
  }

  // ---- events
  HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override {
    std::lock_guard<std::mutex> hold(eventMutex_);
    events_.push_back({code, param1, param2});
    eventArrived_.notify_all();
    return S_OK;
  }
  HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG milliseconds) override {
    if (!code || !param1 || !param2) return E_POINTER;
    std::unique_lock<std::mutex> hold(eventMutex_);
    const auto ready = [this] { return !events_.empty(); };
    if (milliseconds < 0) {
      eventArrived_.wait(hold, ready);
    } else if (!eventArrived_.wait_for(hold, std::chrono::milliseconds(milliseconds), ready)) {
      return E_ABORT;
    }
    *code = events_.front().code;
    *param1 = events_.front().param1;
    *param2 = events_.front().param2;
    events_.pop_front();
    return S_OK;
  }
  HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }

  // ---- IMediaSeeking: passed to the source pins that seek.
  HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override {
    return ForEachSeeker([&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
  }
  HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override {
    return ForEachSeeker([&](IMediaSeeking* s) { return s->GetPositions(current, stop); });
  }
  HRESULT SetRate(double rate) override {
    if (rate <= 0) return E_INVALIDARG;
    return ForEachSeeker([&](IMediaSeeking* s) { return s->SetRate(rate); });
  }
  HRESULT GetRate(double* rate) override {
    return ForEachSeeker([&](IMediaSeeking* s) { return s->GetRate(rate); });
  }

  // ---- IVideoWindow: passed to a renderer with a window of its own.
  HRESULT put_Caption(LPCWSTR caption) override {
    return ForEachVideoWindow([&](IVideoWindow* w) { return w->put_Caption(caption); });
  }
  HRESULT put_WindowState(LONG state) override {
    return ForEachVideoWindow([&](IVideoWindow* w) { return w->put_WindowState(state); });
  }
  HRESULT put_Visible(LONG visible) override {
    return ForEachVideoWindow([&](IVideoWindow* w) { return w->put_Visible(visible); });
  }
  HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override {
    return ForEachVideoWindow([&](IVideoWindow* w) { return w->SetWindowPosition(left, top, width, height); });
  }

 private:
  struct Entry {
    IBaseFilter* filter;
    std::u16string name;
  };
  struct Event {
    LONG code;
    LONG_PTR param1, param2;
  };

  Entry* Find(const std::u16string& name) {
    for (auto& e : filters_)
      if (e.name == name) return &e;
    return nullptr;
  }

  static void DisconnectAll(IBaseFilter* filter) {
    ForEachPin(filter, [](IPin* pin) {
      IPin* other = nullptr;
      if (SUCCEEDED(pin->ConnectedTo(&other))) {
        other->Disconnect();
        other->Release();
      }
      pin->Disconnect();
      return true;
    });
  }

  // Renderers (no connected output) first, sources (no input) last, so
  // that no filter delivers into a filter in the old state.
  template <typename Fn>
  HRESULT ForEachFilterDownstreamFirst(Fn fn) {
    std::vector<std::pair<int, IBaseFilter*>> order;
    for (auto& e : filters_) {
      bool hasInput = false, hasConnectedOutput = false;
      ForEachPin(e.filter, [&](IPin* pin) {
        IPin* other = nullptr;
        const bool connected = SUCCEEDED(pin->ConnectedTo(&other));
        if (other) other->Release();
        if (Direction(pin) == PINDIR_INPUT) hasInput = true;
        else if (connected) hasConnectedOutput = true;
        return true;
      });
      order.push_back({!hasConnectedOutput ? 0 : (hasInput ? 1 : 2), e.filter});
    }
    std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first < b.first; });
    HRESULT result = S_OK;
    for (auto& o : order) {
      const HRESULT hr = fn(o.second);
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    return result;
  }

  template <typename Fn>
  HRESULT ForEachSeeker(Fn fn) {
    std::vector<IMediaSeeking*> seekers;
    {
      std::lock_guard<std::recursive_mutex> hold(mutex_);
      for (auto& e : filters_) {
        ForEachPin(e.filter, [&](IPin* pin) {
          IMediaSeeking* s = nullptr;
          if (Direction(pin) == PINDIR_OUTPUT &&
              SUCCEEDED(pin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&s))))
            seekers.push_back(s);
          return true;
        });
      }
    }
    HRESULT result = seekers.empty() ? E_NOTIMPL : S_OK;
    for (IMediaSeeking* s : seekers) {
      const HRESULT hr = fn(s);
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      s->Release();
    }
    return result;
  }

  template <typename Fn>
  HRESULT ForEachVideoWindow(Fn fn) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    for (auto& e : filters_) {
      IVideoWindow* w = nullptr;
      if (SUCCEEDED(e.filter->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&w)))) {
        const HRESULT hr = fn(w);
        w->Release();
        return hr;
      }
    }
    return E_NOINTERFACE;
  }

  // Connects out to an unconnected input pin of a filter already here.
  HRESULT ConnectToPresentFilter(IPin* out) {
    IBaseFilter* self = OwnerOf(out);
    const std::vector<Entry> snapshot = filters_;
    for (const Entry& e : snapshot) {
      if (e.filter == self) continue;
      HRESULT result = VFW_E_CANNOT_CONNECT;
      ForEachPin(e.filter, [&](IPin* in) {
        IPin* other = nullptr;
        if (Direction(in) != PINDIR_INPUT) return true;
        if (SUCCEEDED(in->ConnectedTo(&other))) {
          other->Release();
          return true;
        }
        result = out->Connect(in, nullptr);
        return FAILED(result);
      });
      if (SUCCEEDED(result)) return S_OK;
    }
    return VFW_E_CANNOT_CONNECT;
  }

  HRESULT RenderPin(IPin* out, int depth) {
    if (SUCCEEDED(ConnectToPresentFilter(out))) return S_OK;
    if (depth >= 3) return VFW_E_CANNOT_RENDER;
    return ConnectThroughDecoder(out, [this, depth](IPin* decoded) { return RenderPin(decoded, depth + 1); });
  }

  // Tries the mapper's filters for out's types, best merit first; `onward`
  // carries each new filter's output on.
  template <typename Onward>
  HRESULT ConnectThroughDecoder(IPin* out, Onward onward) {
    std::vector<GUID> pairs;
    IEnumMediaTypes* types = nullptr;
    if (SUCCEEDED(out->EnumMediaTypes(&types))) {
      AM_MEDIA_TYPE* t = nullptr;
      while (types->Next(1, &t, nullptr) == S_OK) {
        pairs.push_back(t->majortype);
        pairs.push_back(t->subtype);
        DeleteMediaType(t);
      }
      types->Release();
    }
    if (pairs.empty()) return VFW_E_CANNOT_RENDER;
    IFilterMapper2* mapper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(&mapper))))
      return VFW_E_CANNOT_RENDER;
    IEnumMoniker* monikers = nullptr;
    HRESULT hr = mapper->EnumMatchingFilters(&monikers, 0, FALSE, MERIT_DO_NOT_USE + 1, TRUE,
                                             static_cast<DWORD>(pairs.size() / 2), pairs.data(), nullptr,
                                             nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr);
    mapper->Release();
    if (FAILED(hr)) return VFW_E_CANNOT_RENDER;
    HRESULT result = VFW_E_CANNOT_RENDER;
    IMoniker* moniker = nullptr;
    while (FAILED(result) && monikers->Next(1, &moniker, nullptr) == S_OK) {
      IBaseFilter* decoder = nullptr;
      hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&decoder));
      moniker->Release();
      if (FAILED(hr)) continue;
      if (SUCCEEDED(AddFilter(decoder, u"Decoder")) ) {
        result = TryDecoder(out, decoder, onward);
        if (FAILED(result)) RemoveFilter(decoder);
      }
      decoder->Release();
    }
    monikers->Release();
    return result;
  }

  template <typename Onward>
  HRESULT TryDecoder(IPin* out, IBaseFilter* decoder, Onward onward) {
    HRESULT result = VFW_E_CANNOT_CONNECT;
    std::vector<IPin*> outputs;
    ForEachPin(decoder, [&](IPin* pin) {
      if (Direction(pin) == PINDIR_INPUT) {
        if (FAILED(result)) result = out->Connect(pin, nullptr);
      } else {
        pin->AddRef();
        outputs.push_back(pin);
      }
      return true;
    });
    if (SUCCEEDED(result)) {
      result = outputs.empty() ? VFW_E_CANNOT_RENDER : S_OK;
      for (IPin* o : outputs)
        if (FAILED(onward(o))) result = VFW_E_CANNOT_RENDER;
    }
    for (IPin* o : outputs) o->Release();
    return result;
  }

  std::recursive_mutex mutex_;
  std::vector<Entry> filters_;
  OAFilterState state_ = State_Stopped;
  std::mutex eventMutex_;
  std::condition_variable eventArrived_;
  std::deque<Event> events_;
};

}  // namespace

HRESULT DsCreateFilterGraph(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* graph = new CFilterGraph();
  const HRESULT hr = graph->NonDelegatingQueryInterface(riid, object);
  graph->NonDelegatingRelease();
  return hr;
}
