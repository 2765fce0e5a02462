// The filter mapper over the process's filter registry, its monikers, and
// the class objects of the platform's DirectShow objects.
#include <algorithm>
#include <mutex>

#include "pelplat/dshowbase.h"
#include "pelplat/dshowreg.h"

HRESULT DsCreateFilterGraph(IUnknown* outer, REFIID riid, void** object);
HRESULT DsCreateAllocPresenter(IUnknown* outer, REFIID riid, void** object);

namespace {

std::mutex g_filtersMutex;
std::vector<DsFilterTemplate>& Filters() {
  static std::vector<DsFilterTemplate> filters;
  return filters;
}

bool GuidMatches(const GUID& wanted, const GUID& offered) {
  return wanted == GUID_NULL || offered == GUID_NULL || wanted == offered;
}

class CFilterMoniker final : public CUnknown, public IMoniker {
 public:
  explicit CFilterMoniker(HRESULT (*create)(IBaseFilter**)) : CUnknown("CFilterMoniker", nullptr), create_(create) {}
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IMoniker) return GetInterface(static_cast<IMoniker*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT BindToObject(void*, IMoniker*, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    IBaseFilter* filter = nullptr;
    const HRESULT hr = create_ ? create_(&filter) : E_FAIL;
    if (FAILED(hr)) return hr;
    const HRESULT q = filter->QueryInterface(riid, object);
    filter->Release();
    return q;
  }

 private:
  HRESULT (*create_)(IBaseFilter**);
};

class CEnumMoniker final : public CUnknown, public IEnumMoniker {
 public:
  explicit CEnumMoniker(std::vector<DsFilterTemplate> found)
      : CUnknown("CEnumMoniker", nullptr), found_(std::move(found)) {}
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IEnumMoniker) return GetInterface(static_cast<IEnumMoniker*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) override {
    if (!monikers) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < found_.size()) monikers[n++] = new CFilterMoniker(found_[position_++].create);
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    position_ = std::min(found_.size(), position_ + count);
    return S_OK;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }

 private:
  std::vector<DsFilterTemplate> found_;
  size_t position_ = 0;
};

class CFilterMapper2 final : public CUnknown, public IFilterMapper2 {
 public:
  CFilterMapper2() : CUnknown("CFilterMapper2", nullptr) {}
  DECLARE_IUNKNOWN
  HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IFilterMapper2) return GetInterface(static_cast<IFilterMapper2*>(this), object);
    return CUnknown::NonDelegatingQueryInterface(riid, object);
  }
  HRESULT EnumMatchingFilters(IEnumMoniker** result, DWORD, BOOL, DWORD merit, BOOL inputNeeded,
                              DWORD inputTypes, const GUID* pairs, const REGPINMEDIUM*, const CLSID*, BOOL,
                              BOOL outputNeeded, DWORD, const GUID*, const REGPINMEDIUM*, const CLSID*) override {
    if (!result) return E_POINTER;
    if (inputTypes && !pairs) return E_POINTER;
    std::vector<DsFilterTemplate> found;
    for (const DsFilterTemplate& f : DsRegisteredFilters()) {
      if (f.merit < merit) continue;
      if (inputNeeded && f.inputTypes.empty()) continue;
      bool matches = inputTypes == 0;
      for (DWORD i = 0; i < inputTypes && !matches; ++i)
        for (const auto& offered : f.inputTypes)
          if (GuidMatches(pairs[2 * i], offered.first) && GuidMatches(pairs[2 * i + 1], offered.second))
            matches = true;
      if (matches) found.push_back(f);
    }
    std::stable_sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.merit > b.merit; });
    *result = new CEnumMoniker(std::move(found));
    return S_OK;
  }
};

HRESULT CreateMapper(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* mapper = new CFilterMapper2();
  const HRESULT hr = mapper->NonDelegatingQueryInterface(riid, object);
  mapper->NonDelegatingRelease();
  return hr;
}

HRESULT CreateVmr7(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  IBaseFilter* filter = nullptr;
  HRESULT hr = DsCreateVideoMixingRenderer7(&filter);
  if (FAILED(hr)) return hr;
  hr = filter->QueryInterface(riid, object);
  filter->Release();
  return hr;
}

// A class object that makes one kind of object; lives for the process.
class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(HRESULT (*create)(IUnknown*, REFIID, void**)) : create_(create) {}
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    return create_(outer, riid, object);
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  HRESULT (*create_)(IUnknown*, REFIID, void**);
};

}  // namespace

void DsRegisterFilter(const DsFilterTemplate& filter) {
  std::lock_guard<std::mutex> hold(g_filtersMutex);
  auto& filters = Filters();
  filters.erase(std::remove_if(filters.begin(), filters.end(), [&](auto& f) { return f.clsid == filter.clsid; }),
                filters.end());
  filters.push_back(filter);
}

bool DsUnregisterFilter(REFCLSID clsid) {
  std::lock_guard<std::mutex> hold(g_filtersMutex);
  auto& filters = Filters();
  const size_t before = filters.size();
  filters.erase(std::remove_if(filters.begin(), filters.end(), [&](auto& f) { return f.clsid == clsid; }),
                filters.end());
  return filters.size() != before;
}

std::vector<DsFilterTemplate> DsRegisteredFilters() {
  std::lock_guard<std::mutex> hold(g_filtersMutex);
  return Filters();
}

void DsRegisterPlatformClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    static CClassFactory graph(DsCreateFilterGraph), mapper(CreateMapper), vmr(CreateVmr7),
        presenter(DsCreateAllocPresenter);
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_FilterGraph, &graph, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_FilterMapper2, &mapper, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_VideoMixingRenderer, &vmr, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    CoRegisterClassObject(CLSID_AllocPresenter, &presenter, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    const std::vector<GUID> subtypes = DsAvDecoderSubtypes();
    if (!subtypes.empty()) {
      DsFilterTemplate decoder;
      decoder.clsid = CLSID_PelplatAvVideoDecoder;
      decoder.name = u"Video decoder (libavcodec)";
      decoder.merit = MERIT_NORMAL;
      for (const GUID& s : subtypes) decoder.inputTypes.push_back({MEDIATYPE_Video, s});
      decoder.create = DsCreateAvVideoDecoder;
      DsRegisterFilter(decoder);
    }
  });
}
