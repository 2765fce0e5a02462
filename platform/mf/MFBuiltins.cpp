// The platform's own transforms in the class registry and the transform
// list: installed by the first MFStartup, taken away by tests.
#include <mutex>
#include <new>
#include <vector>

#include "MFBuiltins.h"
#include "pelplat/comobject.h"
#include "pelplat/mfbuiltins.h"
#include "pelplat/objbase.h"
#include "pelplat/wmcodecdsp.h"

namespace pelplat_mf {

using pelplat::ComObject;
using pelplat::SafeRelease;
namespace {

class TransformFactory : public ComObject<IClassFactory> {
 public:
  TransformFactory(REFCLSID clsid, std::vector<GUID> subtypes, bool audio)
      : clsid_(clsid), subtypes_(std::move(subtypes)), audio_(audio) {}

  HRESULT QueryInterface(REFIID riid, void** object) override { return Answer(riid, object, IID_IClassFactory); }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IUnknown* made = clsid_ == CLSID_CColorConvertDMO ? NewSwsColorConverter()
                     : audio_                            ? NewAvAudioDecoder(subtypes_)
                                                         : NewAvVideoDecoder(subtypes_);
    if (!made) return E_OUTOFMEMORY;
    const HRESULT hr = made->QueryInterface(riid, object);
    made->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

 private:
  const CLSID clsid_;
  const std::vector<GUID> subtypes_;
  const bool audio_;
};

struct Builtin {
  DWORD flag;
  const CLSID* clsid;
  const GUID* category;
  DWORD cookie;
};

Builtin g_builtins[] = {
    {PELPLAT_MF_H264_DECODER, &CLSID_CMSH264DecoderMFT, &MFT_CATEGORY_VIDEO_DECODER, 0},
    {PELPLAT_MF_OTHER_DECODERS, &CLSID_CWMVDecMediaObject, &MFT_CATEGORY_VIDEO_DECODER, 0},
    {PELPLAT_MF_OTHER_DECODERS, &CLSID_PelplatMJPEGDecoderMFT, &MFT_CATEGORY_VIDEO_DECODER, 0},
    {PELPLAT_MF_COLOR_CONVERTER, &CLSID_CColorConvertDMO, &MFT_CATEGORY_VIDEO_PROCESSOR, 0},
    {PELPLAT_MF_AUDIO_DECODERS, &CLSID_CMSAACDecMFT, &MFT_CATEGORY_AUDIO_DECODER, 0},
    {PELPLAT_MF_AUDIO_DECODERS, &CLSID_CMP3DecMediaObject, &MFT_CATEGORY_AUDIO_DECODER, 0},
    {PELPLAT_MF_AUDIO_DECODERS, &CLSID_CWMADecMediaObject, &MFT_CATEGORY_AUDIO_DECODER, 0},
};

std::mutex g_lock;
bool g_started = false;
DWORD g_removed = 0;

void Install(Builtin& builtin) {
  if (builtin.cookie) return;
  std::vector<MFT_REGISTER_TYPE_INFO> inputs, outputs;
  std::vector<GUID> subtypes;
  const bool audio = *builtin.category == MFT_CATEGORY_AUDIO_DECODER;
  if (*builtin.clsid == CLSID_CColorConvertDMO) {
    inputs.push_back({MFMediaType_Video, MFVideoFormat_NV12});
    outputs.push_back({MFMediaType_Video, MFVideoFormat_RGB32});
  } else if (audio) {
    subtypes = DecodableAudioSubtypes(*builtin.clsid);
    if (subtypes.empty()) return;  // libavcodec decodes none of them here
    for (const GUID& subtype : subtypes) inputs.push_back({MFMediaType_Audio, subtype});
    outputs.push_back({MFMediaType_Audio, MFAudioFormat_PCM});
  } else {
    subtypes = DecodableSubtypes(*builtin.clsid);
    if (subtypes.empty()) return;  // libavcodec decodes none of them here
    for (const GUID& subtype : subtypes) inputs.push_back({MFMediaType_Video, subtype});
    outputs.push_back({MFMediaType_Video, MFVideoFormat_NV12});
  }
  TransformFactory* factory = new (std::nothrow) TransformFactory(*builtin.clsid, subtypes, audio);
  if (!factory) return;
  if (SUCCEEDED(CoRegisterClassObject(*builtin.clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                      &builtin.cookie)))
    AddTransform(*builtin.clsid, *builtin.category, false, static_cast<UINT32>(inputs.size()), inputs.data(),
                 static_cast<UINT32>(outputs.size()), outputs.data());
  factory->Release();
}

void Uninstall(Builtin& builtin) {
  if (!builtin.cookie) return;
  RemoveTransform(*builtin.clsid, false);
  CoRevokeClassObject(builtin.cookie);
  builtin.cookie = 0;
}

}  // namespace

void InstallBuiltins() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_started = true;
  for (Builtin& builtin : g_builtins)
    if (!(g_removed & builtin.flag)) Install(builtin);
}

void UninstallBuiltins() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_started = false;
  for (Builtin& builtin : g_builtins) Uninstall(builtin);
}

}  // namespace pelplat_mf

using namespace pelplat_mf;

void MFRemoveBuiltinTransforms(DWORD which) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_removed |= which;
  for (Builtin& builtin : g_builtins)
    if (which & builtin.flag) Uninstall(builtin);
}

void MFRestoreBuiltinTransforms(DWORD which) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_removed &= ~which;
  if (!g_started) return;
  for (Builtin& builtin : g_builtins)
    if (which & builtin.flag) Install(builtin);
}
