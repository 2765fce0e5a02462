// A server's TS_AM_MEDIA_TYPE as a redirected stream takes it: stored,
// turned into a Media Foundation media type through its DirectShow format
// block, probed for a decoder, and on success handed to that decoder as its
// input type (which gives the decoder the format's setup bytes).
#include <cstddef>
#include <cstdint>

#include "mmredir/VrMFStream.h"
#include "pelplat/mfidl.h"
#include "pelplat/objbase.h"

namespace {

void TryDecoder(IMFMediaType* type) {
  GUID major{}, subtype{};
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) return;
  const GUID category = major == MFMediaType_Audio ? MFT_CATEGORY_AUDIO_DECODER : MFT_CATEGORY_VIDEO_DECODER;
  MFT_REGISTER_TYPE_INFO input = {major, subtype};
  CLSID* ids = nullptr;
  UINT32 count = 0;
  if (SUCCEEDED(MFTEnum(category, 0, &input, nullptr, nullptr, &ids, &count)) && count > 0) {
    IMFTransform* decoder = nullptr;
    if (SUCCEEDED(CoCreateInstance(ids[0], nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                   reinterpret_cast<void**>(&decoder))) &&
        decoder) {
      decoder->SetInputType(0, type, 0);
      decoder->Release();
    }
  }
  CoTaskMemFree(ids);
}

// Media Foundation for the whole run, shut down at its end.
struct Frameworks {
  Frameworks() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    started = SUCCEEDED(MFStartup(MF_VERSION));
  }
  ~Frameworks() {
    if (started) MFShutdown();
    CoUninitialize();
  }
  bool started = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Frameworks frameworks;
  if (!frameworks.started || size > (1u << 20)) return 0;
  CVrMFStream* stream = new CVrMFStream(1);
  const uint32_t length = static_cast<uint32_t>(size);
  stream->CheckMediaFormat(length, data);
  if (stream->SetMediaType(length, data) == 0) {
    IMFMediaType* type = nullptr;
    if (SUCCEEDED(stream->GetMediaType(&type)) && type) {
      TryDecoder(type);
      type->Release();
    }
  }
  static_cast<IMFMediaStream*>(stream)->Release();
  return 0;
}
