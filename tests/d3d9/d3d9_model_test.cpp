#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pelplat/d3d9model.h"
#include "pelplat/objbase.h"

namespace {

// A device, its manager and the decoder service on an adapter that lists
// the given profiles.
class D3D9Model : public ::testing::Test {
 protected:
  void SetUp() override {
    D3D9ModelAdapter adapter;
    adapter.vendorId = 0x10DE;
    adapter.profiles = {DXVA2_ModeH264_E, DXVA2_ModeVC1_D};
    adapter.patternDecoder = true;
    D3D9ModelConfigure(adapter);
    d3d = Direct3DCreate9(D3D_SDK_VERSION);
    ASSERT_NE(d3d, nullptr);
    D3DPRESENT_PARAMETERS p{};
    p.BackBufferWidth = 64;
    p.BackBufferHeight = 32;
    p.BackBufferFormat = D3DFMT_A8R8G8B8;
    ASSERT_EQ(d3d->CreateDevice(0, D3DDEVTYPE_HAL, nullptr, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &p, &device), S_OK);
    UINT token = 0;
    ASSERT_EQ(DXVA2CreateDirect3DDeviceManager9(&token, &manager), S_OK);
    ASSERT_EQ(manager->ResetDevice(device, token), S_OK);
    ASSERT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
    ASSERT_EQ(manager->GetVideoService(handle, IID_IDirectXVideoDecoderService, reinterpret_cast<void**>(&service)),
              S_OK);
  }
  void TearDown() override {
    if (service) service->Release();
    if (manager) manager->Release();
    if (device) device->Release();
    if (d3d) d3d->Release();
    D3D9ModelConfigure(D3D9ModelAdapter());
  }

  std::vector<IDirect3DSurface9*> Surfaces(UINT width, UINT height, UINT count) {
    std::vector<IDirect3DSurface9*> s(count, nullptr);
    EXPECT_EQ(service->CreateSurface(width, height, count - 1, D3DFMT_NV12, D3DPOOL_DEFAULT, 0,
                                     DXVA2_VideoDecoderRenderTarget, s.data(), nullptr),
              S_OK);
    return s;
  }
  IDirectXVideoDecoder* Decoder(std::vector<IDirect3DSurface9*>& surfaces, UINT width, UINT height) {
    DXVA2_VideoDesc desc{};
    desc.SampleWidth = width;
    desc.SampleHeight = height;
    desc.Format = D3DFMT_NV12;
    DXVA2_ConfigPictureDecode config{};
    config.ConfigBitstreamRaw = 1;
    IDirectXVideoDecoder* decoder = nullptr;
    EXPECT_EQ(service->CreateVideoDecoder(DXVA2_ModeH264_E, &desc, &config, surfaces.data(), UINT(surfaces.size()),
                                          &decoder),
              S_OK);
    return decoder;
  }
  // One picture: picture parameters, then a bitstream buffer whose first byte
  // becomes the target's luma.
  HRESULT Decode(IDirectXVideoDecoder* decoder, IDirect3DSurface9* target, uint8_t luma) {
    HRESULT hr = decoder->BeginFrame(target, nullptr);
    if (FAILED(hr)) return hr;
    DXVA2_DecodeBufferDesc descs[2] = {};
    const UINT types[2] = {DXVA2_PictureParametersBufferType, DXVA2_BitStreamDateBufferType};
    for (int i = 0; i < 2; ++i) {
      void* buffer = nullptr;
      UINT size = 0;
      EXPECT_EQ(decoder->GetBuffer(types[i], &buffer, &size), S_OK);
      std::memset(buffer, luma, 8);
      EXPECT_EQ(decoder->ReleaseBuffer(types[i]), S_OK);
      descs[i].CompressedBufferType = types[i];
      descs[i].DataSize = 8;
    }
    DXVA2_DecodeExecuteParams params{2, descs, nullptr};
    hr = decoder->Execute(&params);
    EXPECT_EQ(decoder->EndFrame(nullptr), S_OK);
    return hr;
  }
  // The first pixel of an NV12 surface after conversion and read-back.
  uint32_t ReadBack(IDirect3DSurface9* surface, UINT width, UINT height, INT* pitch = nullptr) {
    IDirect3DSurface9* target = nullptr;
    IDirect3DSurface9* sysmem = nullptr;
    EXPECT_EQ(device->CreateRenderTarget(width, height, D3DFMT_A8R8G8B8, D3DMULTISAMPLE_NONE, 0, TRUE, &target,
                                         nullptr),
              S_OK);
    EXPECT_EQ(device->CreateOffscreenPlainSurface(width, height, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &sysmem,
                                                  nullptr),
              S_OK);
    EXPECT_EQ(device->StretchRect(surface, nullptr, target, nullptr, D3DTEXF_NONE), S_OK);
    EXPECT_EQ(device->GetRenderTargetData(target, sysmem), S_OK);
    D3DLOCKED_RECT locked{};
    EXPECT_EQ(sysmem->LockRect(&locked, nullptr, D3DLOCK_READONLY), S_OK);
    uint32_t pixel = 0;
    std::memcpy(&pixel, locked.pBits, 4);
    if (pitch) *pitch = locked.Pitch;
    sysmem->UnlockRect();
    sysmem->Release();
    target->Release();
    return pixel;
  }

  IDirect3D9* d3d = nullptr;
  IDirect3DDevice9* device = nullptr;
  IDirect3DDeviceManager9* manager = nullptr;
  HANDLE handle = nullptr;
  IDirectXVideoDecoderService* service = nullptr;
};

void ReleaseAll(std::vector<IDirect3DSurface9*>& surfaces) {
  for (IDirect3DSurface9* s : surfaces) s->Release();
}

TEST_F(D3D9Model, AdapterSaysWhatItIsAndListsItsProfilesInTaskMemory) {
  D3DADAPTER_IDENTIFIER9 id{};
  ASSERT_EQ(d3d->GetAdapterIdentifier(0, 0, &id), S_OK);
  EXPECT_EQ(id.VendorId, 0x10DEu);
  UINT count = 0;
  GUID* guids = nullptr;
  ASSERT_EQ(service->GetDecoderDeviceGuids(&count, &guids), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(guids[0], DXVA2_ModeH264_E);
  EXPECT_EQ(guids[1], DXVA2_ModeVC1_D);
  CoTaskMemFree(guids);

  D3DFORMAT* formats = nullptr;
  ASSERT_EQ(service->GetDecoderRenderTargets(DXVA2_ModeH264_E, &count, &formats), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(formats[0], D3DFMT_NV12);
  CoTaskMemFree(formats);
  EXPECT_EQ(service->GetDecoderRenderTargets(DXVA2_ModeVC1_C, &count, &formats), E_INVALIDARG);

  DXVA2_VideoDesc desc{};
  DXVA2_ConfigPictureDecode* configs = nullptr;
  ASSERT_EQ(service->GetDecoderConfigurations(DXVA2_ModeVC1_D, &desc, nullptr, &count, &configs), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(configs[1].ConfigBitstreamRaw, 2u);
  CoTaskMemFree(configs);
}

TEST_F(D3D9Model, TheDefaultAdapterListsOnlyTheProfileItReallyDecodes) {
  D3D9ModelConfigure(D3D9ModelAdapter());
  UINT count = 0;
  GUID* guids = nullptr;
  ASSERT_EQ(service->GetDecoderDeviceGuids(&count, &guids), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(guids[0], DXVA2_ModeH264_E);
  CoTaskMemFree(guids);
}

TEST_F(D3D9Model, SurfacesHaveAPitchAtLeastTheirRowAndLockOnceAtATime) {
  IDirect3DSurface9* argb = nullptr;
  ASSERT_EQ(device->CreateOffscreenPlainSurface(20, 4, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &argb, nullptr), S_OK);
  D3DLOCKED_RECT locked{};
  ASSERT_EQ(argb->LockRect(&locked, nullptr, D3DLOCK_READONLY), S_OK);
  EXPECT_GT(locked.Pitch, 20 * 4);  // rows are padded: readers copy row by row
  EXPECT_EQ(argb->LockRect(&locked, nullptr, 0), D3DERR_INVALIDCALL);
  EXPECT_EQ(argb->UnlockRect(), S_OK);
  EXPECT_EQ(argb->UnlockRect(), D3DERR_INVALIDCALL);
  D3DSURFACE_DESC desc{};
  ASSERT_EQ(argb->GetDesc(&desc), S_OK);
  EXPECT_EQ(desc.Width, 20u);
  EXPECT_EQ(desc.Pool, D3DPOOL_SYSTEMMEM);
  argb->Release();

  std::vector<IDirect3DSurface9*> nv12 = Surfaces(32, 16, 4);
  ASSERT_EQ(nv12.size(), 4u);
  for (IDirect3DSurface9* s : nv12) ASSERT_NE(s, nullptr);
  ReleaseAll(nv12);

  IDirect3DSurface9* huge[200] = {};
  EXPECT_EQ(service->CreateSurface(8192, 8192, 199, D3DFMT_NV12, D3DPOOL_DEFAULT, 0, 0, huge, nullptr),
            E_OUTOFMEMORY);
  EXPECT_EQ(huge[0], nullptr);
}

TEST_F(D3D9Model, ColorFillPaintsOnlyItsRectangle) {
  IDirect3DSurface9* target = nullptr;
  ASSERT_EQ(device->CreateRenderTarget(6, 4, D3DFMT_A8R8G8B8, D3DMULTISAMPLE_NONE, 0, TRUE, &target, nullptr), S_OK);
  const RECT rect{1, 1, 5, 3};
  ASSERT_EQ(device->ColorFill(target, &rect, 0xFF00C800), S_OK);
  const RECT outside{4, 2, 7, 3};
  EXPECT_EQ(device->ColorFill(target, &outside, 0), D3DERR_INVALIDCALL);
  D3DLOCKED_RECT locked{};
  ASSERT_EQ(target->LockRect(&locked, nullptr, D3DLOCK_READONLY), S_OK);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      uint32_t pixel = 0;
      std::memcpy(&pixel, static_cast<uint8_t*>(locked.pBits) + y * locked.Pitch + x * 4, 4);
      const bool inside = x >= 1 && x < 5 && y >= 1 && y < 3;
      EXPECT_EQ(pixel, inside ? 0xFF00C800u : 0u) << x << "," << y;
    }
  target->UnlockRect();
  target->Release();
}

TEST_F(D3D9Model, ExecutePaintsTheOpenTargetAndTheDeviceConvertsItToGrey) {
  std::vector<IDirect3DSurface9*> surfaces = Surfaces(32, 16, 3);
  IDirectXVideoDecoder* decoder = Decoder(surfaces, 32, 16);
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(Decode(decoder, surfaces[1], 235), S_OK);
  ASSERT_EQ(Decode(decoder, surfaces[2], 126), S_OK);
  EXPECT_EQ(ReadBack(surfaces[0], 32, 16), 0xFF000000u);  // never decoded
  EXPECT_EQ(ReadBack(surfaces[1], 32, 16), 0xFFFFFFFFu);
  EXPECT_EQ(ReadBack(surfaces[2], 32, 16), 0xFF808080u);
  EXPECT_EQ(decoder->EndFrame(nullptr), E_FAIL);
  EXPECT_EQ(D3D9ModelStatistics().endFramesWithoutFrame, 1);
  decoder->Release();
  ReleaseAll(surfaces);
  EXPECT_EQ(D3D9ModelStatistics().decodersAlive, 0);
}

TEST_F(D3D9Model, AnH264DecoderRefusesParametersItCannotRebuild) {
  D3D9ModelAdapter adapter = D3D9ModelCurrent();
  adapter.patternDecoder = false;
  D3D9ModelConfigure(adapter);
  std::vector<IDirect3DSurface9*> surfaces = Surfaces(32, 16, 2);
  IDirectXVideoDecoder* decoder = Decoder(surfaces, 32, 16);
  const uint8_t slice[] = {0, 0, 1, 0x65, 0x88, 0x84, 0x00};
  struct Case {
    const char* what;
    size_t size;
    size_t at;
    uint8_t value;
  } cases[] = {
      {"parameters cut short", 100, 0, 0},         {"order count type 1", 1040, 217, 1},
      {"slice groups", 1040, 223, 1},              {"10-bit luma", 1040, 8, 2},
      {"monochrome", 1040, 6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> params(c.size, 0);
    if (c.size > 7) params[6] = 1 << 4;  // 4:2:0
    params[c.at] = c.value;
    ASSERT_EQ(decoder->BeginFrame(surfaces[0], nullptr), S_OK);
    DXVA2_DecodeBufferDesc descs[2] = {};
    const std::vector<uint8_t>* contents[2] = {&params, nullptr};
    const std::vector<uint8_t> bitstream(slice, slice + sizeof slice);
    contents[1] = &bitstream;
    const UINT types[2] = {DXVA2_PictureParametersBufferType, DXVA2_BitStreamDateBufferType};
    for (int i = 0; i < 2; ++i) {
      void* buffer = nullptr;
      UINT size = 0;
      ASSERT_EQ(decoder->GetBuffer(types[i], &buffer, &size), S_OK);
      std::memcpy(buffer, contents[i]->data(), contents[i]->size());
      decoder->ReleaseBuffer(types[i]);
      descs[i].CompressedBufferType = types[i];
      descs[i].DataSize = UINT(contents[i]->size());
    }
    DXVA2_DecodeExecuteParams execute{2, descs, nullptr};
    EXPECT_EQ(decoder->Execute(&execute), E_FAIL);
    EXPECT_EQ(decoder->EndFrame(nullptr), S_OK);
  }
  decoder->Release();
  ReleaseAll(surfaces);
}

TEST_F(D3D9Model, BuffersAreHandedOutOnlyInsideAFrameAndAtTheirSize) {
  std::vector<IDirect3DSurface9*> surfaces = Surfaces(32, 16, 2);
  IDirectXVideoDecoder* decoder = Decoder(surfaces, 32, 16);
  void* buffer = nullptr;
  UINT size = 0;
  EXPECT_EQ(decoder->GetBuffer(DXVA2_PictureParametersBufferType, &buffer, &size), E_INVALIDARG);
  ASSERT_EQ(decoder->BeginFrame(surfaces[0], nullptr), S_OK);
  ASSERT_EQ(decoder->GetBuffer(DXVA2_SliceControlBufferType, &buffer, &size), S_OK);
  EXPECT_EQ(size, D3D9ModelAdapter().bufferSize);
  EXPECT_EQ(decoder->GetBuffer(DXVA2_SliceControlBufferType, &buffer, &size), E_INVALIDARG);
  EXPECT_EQ(decoder->ReleaseBuffer(DXVA2_SliceControlBufferType), S_OK);
  EXPECT_EQ(decoder->GetBuffer(9, &buffer, &size), E_INVALIDARG);
  DXVA2_DecodeBufferDesc past{};
  past.CompressedBufferType = DXVA2_SliceControlBufferType;
  past.DataSize = size + 1;
  DXVA2_DecodeExecuteParams params{1, &past, nullptr};
  EXPECT_EQ(decoder->Execute(&params), E_INVALIDARG);
  EXPECT_EQ(decoder->EndFrame(nullptr), S_OK);
  decoder->Release();
  ReleaseAll(surfaces);
}

TEST_F(D3D9Model, InjectedFailuresHitTheNextCallsOnly) {
  std::vector<IDirect3DSurface9*> surfaces = Surfaces(32, 16, 2);
  IDirectXVideoDecoder* decoder = Decoder(surfaces, 32, 16);
  D3D9ModelAdapter adapter = D3D9ModelCurrent();
  adapter.beginFrameFailures = 2;
  adapter.executeFailures = 1;
  D3D9ModelConfigure(adapter);
  EXPECT_EQ(decoder->BeginFrame(surfaces[0], nullptr), E_FAIL);
  EXPECT_EQ(decoder->BeginFrame(surfaces[0], nullptr), E_FAIL);
  EXPECT_EQ(Decode(decoder, surfaces[0], 100), E_FAIL);
  EXPECT_EQ(Decode(decoder, surfaces[0], 100), S_OK);
  EXPECT_EQ(D3D9ModelStatistics().beginFrameCalls, 4);
  decoder->Release();
  ReleaseAll(surfaces);

  adapter = D3D9ModelAdapter();
  adapter.failDirect3D = true;
  D3D9ModelConfigure(adapter);
  EXPECT_EQ(Direct3DCreate9(D3D_SDK_VERSION), nullptr);
  D3D9ModelConfigure(D3D9ModelAdapter());
  EXPECT_EQ(Direct3DCreate9(31), nullptr);
}

TEST_F(D3D9Model, ADeviceChangeIsReportedToHandlesOpenedBeforeIt) {
  EXPECT_EQ(manager->TestDevice(handle), S_OK);
  D3D9ModelChangeDevice();
  EXPECT_EQ(manager->TestDevice(handle), DXVA2_E_NEW_VIDEO_DEVICE);
  HANDLE fresh = nullptr;
  ASSERT_EQ(manager->OpenDeviceHandle(&fresh), S_OK);
  EXPECT_EQ(manager->TestDevice(fresh), S_OK);
  EXPECT_EQ(manager->CloseDeviceHandle(fresh), S_OK);
  EXPECT_EQ(manager->TestDevice(fresh), E_HANDLE);
  void* other = nullptr;
  EXPECT_EQ(manager->GetVideoService(handle, IID_IUnknown, &other), E_NOINTERFACE);
}

}  // namespace
