// The audio decoder transforms with a server's media type and samples: the
// codec data (MF_MT_USER_DATA) and every packet are untrusted.
// Input: codec index (0 raw AAC, 1 ADTS AAC, 2 MP3, 3 WMA 2), channels (1
// to 8), u16 block alignment, u16 user-data length and the user data (as
// much as there is), then packets of u16 length and bytes, the last one
// taking what is left. Every output is taken after each packet. The
// decoders of the last 16 codec and media type pairs are kept and flushed
// for an input of the same pair, since opening a codec costs far more than
// a packet.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>

#include "FuzzPackets.h"
#include "pelplat/debugout.h"
#include "pelplat/mfapi.h"
#include "pelplat/mferror.h"
#include "pelplat/objbase.h"

namespace {

IMFTransform* Decoder(const GUID& subtype) {
  MFT_REGISTER_TYPE_INFO input{MFMediaType_Audio, subtype};
  CLSID* clsids = nullptr;
  UINT32 count = 0;
  if (FAILED(MFTEnum(MFT_CATEGORY_AUDIO_DECODER, 0, &input, nullptr, nullptr, &clsids, &count)) || count == 0)
    return nullptr;
  IMFTransform* decoder = nullptr;
  CoCreateInstance(clsids[0], nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, reinterpret_cast<void**>(&decoder));
  CoTaskMemFree(clsids);
  return decoder;
}

bool SetTypes(IMFTransform* decoder, const GUID& subtype, uint32_t channels, uint32_t blockAlign, int payload,
              const std::vector<uint8_t>& user) {
  IMFMediaType* type = nullptr;
  if (FAILED(MFCreateMediaType(&type))) return false;
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 16000);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, blockAlign);
  if (payload >= 0) type->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, static_cast<UINT32>(payload));
  if (!user.empty()) type->SetBlob(MF_MT_USER_DATA, user.data(), static_cast<UINT32>(user.size()));
  HRESULT hr = decoder->SetInputType(0, type, 0);
  type->Release();
  IMFMediaType* out = nullptr;
  if (SUCCEEDED(hr)) hr = decoder->GetOutputAvailableType(0, 0, &out);
  if (SUCCEEDED(hr)) hr = decoder->SetOutputType(0, out, 0);
  if (out) out->Release();
  return SUCCEEDED(hr);
}

void TakeOutputs(IMFTransform* decoder) {
  for (;;) {
    MFT_OUTPUT_DATA_BUFFER out{};
    DWORD status = 0;
    const HRESULT hr = decoder->ProcessOutput(0, 1, &out, &status);
    if (out.pSample) out.pSample->Release();
    if (hr != S_OK) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  // Started once; shut down at exit so that nothing is left for the leak
  // check.
  static const struct Started {
    Started() {
      SetDebugOutputSink([](const std::string&) {});
      MFStartup(MF_VERSION);
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    ~Started() {
      CoUninitialize();
      MFShutdown();
    }
  } started;
  (void)started;
  static const GUID kSubtypes[] = {MFAudioFormat_AAC, MFAudioFormat_AAC, MFAudioFormat_MP3, MFAudioFormat_WMAudioV8};
  const int codec = data[0] % 4;
  const uint32_t channels = 1 + data[1] % 8;
  const uint32_t blockAlign = data[2] | data[3] << 8;
  size_t at = 6;
  const size_t userSize = std::min<size_t>(data[4] | data[5] << 8, size - at);
  const std::vector<uint8_t> user(data + at, data + at + userSize);
  at += userSize;
  // Decoders by codec and media type, the most recently used first.
  struct Kept {
    std::vector<uint8_t> key;  // codec, channels, block alignment, user data
    IMFTransform* decoder = nullptr;
    bool typed = false;
    Kept() = default;
    Kept(const Kept&) = delete;
    ~Kept() {
      if (decoder) decoder->Release();
    }
  };
  constexpr size_t kKept = 16;
  static std::list<Kept> kept;
  std::vector<uint8_t> key(data, data + 4);
  key[0] = uint8_t(codec);
  key.insert(key.end(), user.begin(), user.end());
  auto found = std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.key == key; });
  if (found != kept.end()) {
    kept.splice(kept.begin(), kept, found);
    kept.front().decoder->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
  } else {
    IMFTransform* made = Decoder(kSubtypes[codec]);
    if (!made) return 0;
    if (kept.size() >= kKept) kept.pop_back();
    kept.emplace_front();
    kept.front().key = key;
    kept.front().decoder = made;
    kept.front().typed = SetTypes(made, kSubtypes[codec], channels, blockAlign, codec == 1 ? 1 : -1, user);
  }
  const Kept& k = kept.front();
  IMFTransform* decoder = k.decoder;
  if (k.typed) {
    ForEachFuzzPacket(data, size, at, [&](const std::vector<uint8_t>& packet, size_t) {
      IMFSample* sample = nullptr;
      IMFMediaBuffer* buffer = nullptr;
      if (FAILED(MFCreateSample(&sample))) return;
      if (SUCCEEDED(MFCreateMemoryBuffer(static_cast<DWORD>(packet.size()), &buffer))) {
        BYTE* bytes = nullptr;
        buffer->Lock(&bytes, nullptr, nullptr);
        std::copy(packet.begin(), packet.end(), bytes);
        buffer->Unlock();
        buffer->SetCurrentLength(static_cast<DWORD>(packet.size()));
        sample->AddBuffer(buffer);
        buffer->Release();
        decoder->ProcessInput(0, sample, 0);
        TakeOutputs(decoder);
      }
      sample->Release();
    });
    decoder->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
    TakeOutputs(decoder);
  }
  return 0;
}
