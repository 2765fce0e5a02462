// The list of transforms that MFTEnum and MFTEnumEx search, their
// activation objects, and MFStartup / MFShutdown, which install the
// platform's own transforms.
#include <mutex>
#include <new>
#include <vector>

#include "MFAttributeStore.h"
#include "MFBuiltins.h"
#include "pelplat/mfapi.h"
#include "pelplat/mfbuiltins.h"
#include "pelplat/objbase.h"

namespace pelplat_mf {
namespace {

struct TransformEntry {
  CLSID clsid;
  GUID category;
  bool local;  // registered by this process rather than installed
  std::vector<MFT_REGISTER_TYPE_INFO> inputs;
  std::vector<MFT_REGISTER_TYPE_INFO> outputs;
};

std::mutex g_transformsLock;
std::vector<TransformEntry>& Transforms() {
  static std::vector<TransformEntry>* list = new std::vector<TransformEntry>();
  return *list;
}

bool TypeMatches(const std::vector<MFT_REGISTER_TYPE_INFO>& offered, const MFT_REGISTER_TYPE_INFO* wanted) {
  if (!wanted) return true;
  for (const MFT_REGISTER_TYPE_INFO& type : offered) {
    const bool major = wanted->guidMajorType == GUID_NULL || type.guidMajorType == wanted->guidMajorType;
    const bool sub = wanted->guidSubtype == GUID_NULL || type.guidSubtype == wanted->guidSubtype;
    if (major && sub) return true;
  }
  return false;
}

std::vector<CLSID> Matching(REFGUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                            const MFT_REGISTER_TYPE_INFO* output) {
  if (flags == 0) flags = MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER;
  std::vector<CLSID> found;
  std::lock_guard<std::mutex> hold(g_transformsLock);
  // Local transforms come first, as the platform sorts them.
  for (int pass = 0; pass < 2; ++pass) {
    const bool wantLocal = pass == 0;
    if (wantLocal && !(flags & MFT_ENUM_FLAG_LOCALMFT)) continue;
    if (!wantLocal && !(flags & MFT_ENUM_FLAG_SYNCMFT)) continue;
    for (const TransformEntry& entry : Transforms()) {
      if (entry.local != wantLocal || entry.category != category) continue;
      if (TypeMatches(entry.inputs, input) && TypeMatches(entry.outputs, output)) found.push_back(entry.clsid);
    }
  }
  return found;
}

class TransformActivate : public AttributeStore<IMFActivate> {
 public:
  explicit TransformActivate(REFCLSID clsid) : clsid_(clsid) { SetGUID(MFT_TRANSFORM_CLSID_Attribute, clsid); }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    return Answer(riid, object, IID_IMFAttributes, IID_IMFActivate);
  }
  HRESULT ActivateObject(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::lock_guard<std::mutex> hold(lock_);
    if (!made_) {
      // Activation objects make their transform in any thread, as the
      // platform's do: straight from the class object.
      pelplat::Ref<IClassFactory> factory;
      HRESULT hr = CoGetClassObject(clsid_, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.outVoid());
      if (FAILED(hr)) return hr;
      hr = factory->CreateInstance(nullptr, IID_IUnknown, made_.outVoid());
      if (FAILED(hr)) return hr;
    }
    return made_->QueryInterface(riid, object);
  }
  HRESULT ShutdownObject() override { return DetachObject(); }
  HRESULT DetachObject() override {
    std::lock_guard<std::mutex> hold(lock_);
    made_.reset();
    return S_OK;
  }

 private:
  ~TransformActivate() override = default;

  const CLSID clsid_;
  std::mutex lock_;
  pelplat::Ref<IUnknown> made_;
};

std::mutex g_startupLock;
int g_startups = 0;

}  // namespace

void AddTransform(REFCLSID clsid, REFGUID category, bool local, UINT32 inputCount,
                  const MFT_REGISTER_TYPE_INFO* inputs, UINT32 outputCount, const MFT_REGISTER_TYPE_INFO* outputs) {
  TransformEntry entry{clsid, category, local, {}, {}};
  if (inputs) entry.inputs.assign(inputs, inputs + inputCount);
  if (outputs) entry.outputs.assign(outputs, outputs + outputCount);
  std::lock_guard<std::mutex> hold(g_transformsLock);
  Transforms().push_back(std::move(entry));
}

bool RemoveTransform(REFCLSID clsid, bool local) {
  std::lock_guard<std::mutex> hold(g_transformsLock);
  auto& list = Transforms();
  bool removed = false;
  for (auto it = list.begin(); it != list.end();) {
    if (it->clsid == clsid && it->local == local) {
      it = list.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  return removed;
}

}  // namespace pelplat_mf

using namespace pelplat_mf;

HRESULT MFStartup(ULONG version, DWORD) {
  if (version != MF_VERSION) return MF_E_BAD_STARTUP_VERSION;
  std::lock_guard<std::mutex> hold(g_startupLock);
  if (g_startups++ == 0) InstallBuiltins();
  return S_OK;
}

HRESULT MFShutdown() {
  std::lock_guard<std::mutex> hold(g_startupLock);
  if (g_startups == 0) return MF_E_NOT_INITIALIZED;
  if (--g_startups == 0) UninstallBuiltins();
  return S_OK;
}

HRESULT MFTEnum(GUID category, UINT32 flags, MFT_REGISTER_TYPE_INFO* inputType, MFT_REGISTER_TYPE_INFO* outputType,
                IMFAttributes*, CLSID** clsids, UINT32* count) {
  if (!clsids || !count) return E_POINTER;
  *clsids = nullptr;
  *count = 0;
  // MFTEnum lists every installed and local synchronous transform.
  const std::vector<CLSID> found =
      Matching(category, flags | MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT, inputType, outputType);
  if (found.empty()) return S_OK;
  *clsids = static_cast<CLSID*>(CoTaskMemAlloc(found.size() * sizeof(CLSID)));
  if (!*clsids) return E_OUTOFMEMORY;
  for (size_t i = 0; i < found.size(); ++i) (*clsids)[i] = found[i];
  *count = static_cast<UINT32>(found.size());
  return S_OK;
}

HRESULT MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                  const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates, UINT32* count) {
  if (!activates || !count) return E_POINTER;
  *activates = nullptr;
  *count = 0;
  const std::vector<CLSID> found = Matching(category, flags, inputType, outputType);
  if (found.empty()) return S_OK;
  IMFActivate** list = static_cast<IMFActivate**>(CoTaskMemAlloc(found.size() * sizeof(IMFActivate*)));
  if (!list) return E_OUTOFMEMORY;
  for (size_t i = 0; i < found.size(); ++i) {
    list[i] = new (std::nothrow) TransformActivate(found[i]);
    if (!list[i]) {
      for (size_t j = 0; j < i; ++j) list[j]->Release();
      CoTaskMemFree(list);
      return E_OUTOFMEMORY;
    }
  }
  *activates = list;
  *count = static_cast<UINT32>(found.size());
  return S_OK;
}

HRESULT MFTRegisterLocalByCLSID(REFCLSID clsid, REFGUID category, LPCWSTR, UINT32, UINT32 inputCount,
                                const MFT_REGISTER_TYPE_INFO* inputTypes, UINT32 outputCount,
                                const MFT_REGISTER_TYPE_INFO* outputTypes) {
  if ((inputCount && !inputTypes) || (outputCount && !outputTypes)) return E_INVALIDARG;
  AddTransform(clsid, category, true, inputCount, inputTypes, outputCount, outputTypes);
  return S_OK;
}

HRESULT MFTUnregisterLocalByCLSID(CLSID clsid) {
  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a class not registered.
  return RemoveTransform(clsid, true) ? S_OK : static_cast<HRESULT>(0x80070490);
}
