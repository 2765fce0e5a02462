#include "streams/DXVAStream.h"
#include "session/SurfaceLock.h"

#include <algorithm>
#include <cstring>

#include "display/SurfaceKeeper.h"
#include "pelplat/comobject.h"
#include "pelplat/objbase.h"
#include "pelplat/synch.h"
#include "session/HelloProbes.h"
#include "streams/StreamKindFactory.h"
#include "sys/ByteReader.h"

namespace {

struct ProfileRow {
  GUID profile;
  uint32_t maskBit;
  bool h264;
};

const ProfileRow kProfiles[] = {
    {DXVA2_ModeH264_E, 0x200, true},           {DXVA2_ModeH264_F, 0x400, true},
    {kIntelH264VldProfile, 0x20000000, true},  {DXVA2_ModeVC1_C, 0x400000, false},
    {DXVA2_ModeVC1_D, 0x800000, false},        {DXVA2_ModeVC1_D2010, 0x1000000, false},
    {kIntelVc1VldProfile, 0x10000000, false},
};

const ProfileRow* FindProfile(const GUID& profile) {
  for (const ProfileRow& row : kProfiles)
    if (row.profile == profile) return &row;
  return nullptr;
}

// Records made for one vendor's profile, played on the other vendor's adapter.
struct Translation {
  uint32_t recordVendor;
  uint32_t adapterVendor;
  GUID requested;
  GUID used;
};

const Translation kTranslations[] = {
    {CDXVAStream::kVendorIntel, CDXVAStream::kVendorNvidia, kIntelH264VldProfile, DXVA2_ModeH264_E},
    {CDXVAStream::kVendorIntel, CDXVAStream::kVendorNvidia, kIntelVc1VldProfile, DXVA2_ModeVC1_D},
    {CDXVAStream::kVendorNvidia, CDXVAStream::kVendorIntel, DXVA2_ModeH264_E, kIntelH264VldProfile},
    {CDXVAStream::kVendorNvidia, CDXVAStream::kVendorIntel, DXVA2_ModeVC1_D, kIntelVc1VldProfile},
};

// The announced mask also carries the other vendor's profile of a listed one.
struct VendorAlias {
  uint32_t adapterVendor;
  GUID listed;
  uint32_t listedBit;
  uint32_t addedBit;
};

const VendorAlias kAliases[] = {
    {CDXVAStream::kVendorNvidia, DXVA2_ModeH264_E, 0x200, 0x20000000},
    {CDXVAStream::kVendorNvidia, DXVA2_ModeVC1_D, 0x800000, 0x10000000},
    {CDXVAStream::kVendorIntel, kIntelH264VldProfile, 0x20000000, 0x200},
    {CDXVAStream::kVendorIntel, kIntelVc1VldProfile, 0x10000000, 0x800000},
};

// Offsets inside the description block (the format record's bytes from 64).
constexpr size_t kBackBuffersAt = 12;
constexpr size_t kVendorAt = 32;
constexpr size_t kVideoDescAt = 44;
constexpr size_t kBitstreamRawAt = 132;

constexpr uint32_t kH264ParamsSize = 40;
constexpr uint32_t kVc1ParamsSize = 44;
constexpr int kBeginFrameTries = 6;
constexpr DWORD kBeginFrameRetryMs = 5;
constexpr D3DCOLOR kBackBufferColour = 0xFF00C800;

using pelplat::Ref;

// An array the decoder service handed out, freed on every path.
template <typename T>
struct TaskArray {
  T* items = nullptr;
  UINT count = 0;
  ~TaskArray() { CoTaskMemFree(items); }
  bool Contains(const T& value) const {
    for (UINT i = 0; i < count; ++i)
      if (items[i] == value) return true;
    return false;
  }
};

}  // namespace

struct CDXVAStream::Description {
  uint32_t backBuffers = 0;
  uint32_t vendor = 0;
  DXVA2_VideoDesc video{};
  uint32_t bitstreamRaw = 0;

  explicit Description(const uint8_t* block) {
    ByteReader in(block, kDescriptionSize);
    in.Skip(kBackBuffersAt);
    backBuffers = in.U32();
    in.Skip(kVendorAt - kBackBuffersAt - 4);
    vendor = in.U32();
    in.Skip(kVideoDescAt - kVendorAt - 4);
    video.SampleWidth = in.U32();
    video.SampleHeight = in.U32();
    video.SampleFormat.value = in.U32();
    video.Format = static_cast<D3DFORMAT>(in.U32());
    video.InputSampleFreq = {in.U32(), in.U32()};
    video.OutputFrameFreq = {in.U32(), in.U32()};
    video.UABProtectionLevel = in.U32();
    video.Reserved = in.U32();
    in.Skip(kBitstreamRawAt - kVideoDescAt - 40);
    bitstreamRaw = in.U32();
  }
};

const CDXVAStream::BufferRecord* CDXVAStream::FrameRecord::PictureParameters() const {
  for (uint32_t i = 0; i < count; ++i)
    if (buffers[i].type == DXVA2_PictureParametersBufferType) return &buffers[i];
  return nullptr;
}

bool CDXVAStream::ParseFrameRecord(const uint8_t* data, uint32_t length, FrameRecord* frame) {
  ByteReader in(data, length);
  in.Skip(12);
  frame->rect.left = in.I32();
  frame->rect.top = in.I32();
  frame->rect.right = in.I32();
  frame->rect.bottom = in.I32();
  frame->colourKey = in.I32();
  in.Skip(8);
  frame->count = in.U32();
  if (!in.Ok() || frame->count > kMaxBufferRecords) return false;
  for (uint32_t i = 0; i < frame->count; ++i) {
    BufferRecord& b = frame->buffers[i];
    b.type = in.U32();
    in.Skip(4);
    b.dataOffset = in.U32();
    b.dataSize = in.U32();
    b.firstMBaddress = in.U32();
    b.numMBsInBuffer = in.U32();
    b.width = in.U32();
    b.height = in.U32();
    b.stride = in.U32();
    b.reservedBits = in.U32();
    b.data = in.Take(b.dataSize);
    if (i + 1 < frame->count) in.Skip(4);
  }
  return in.Ok();
}

CDXVAStream::CDXVAStream(HWND window, HRESULT* status, int displayIndex) : displayIndex_(displayIndex) {
  const HRESULT result = SetupDevice(window);
  if (status) *status = result;
}

CDXVAStream::CDXVAStream(std::shared_ptr<ISlotSessionPort> port, HWND window, HRESULT* status,
                         int displayIndex)
    : CDXVAStream(window, status, displayIndex) {
  port_ = std::move(port);
  if (!port_ || !service_) return;
  SurfaceLock lock(port_.get(), displayIndex_);
  if (ISurfaceKeeper* keeper = lock.Surface()) {
    keeper->SyncBuffers();
    syncedBuffers_ = true;
  }
}

CDXVAStream::~CDXVAStream() {
  {
    CxAutoLock hold(lock_.Record());
    ReleaseDecoderResources();
    ReleaseDevice();
  }
  if (port_ && syncedBuffers_) {
    SurfaceLock lock(port_.get(), displayIndex_);
    if (ISurfaceKeeper* keeper = lock.Surface()) keeper->SetSingleBuffer();
  }
}

HRESULT CDXVAStream::SetupDevice(HWND window) {
  CxAutoLock hold(lock_.Record());
  Ref<IDirect3D9> d3d(Direct3DCreate9(D3D_SDK_VERSION));
  if (!d3d) return E_ABORT;
  D3DADAPTER_IDENTIFIER9 identifier;
  if (SUCCEEDED(d3d->GetAdapterIdentifier(D3DADAPTER_DEFAULT, 0, &identifier)))
    adapterVendor_ = identifier.VendorId;

  D3DPRESENT_PARAMETERS parameters{};
  parameters.BackBufferWidth = 1280;
  parameters.BackBufferHeight = 720;
  parameters.BackBufferFormat = D3DFMT_A8R8G8B8;
  parameters.BackBufferCount = 1;
  parameters.SwapEffect = D3DSWAPEFFECT_DISCARD;
  parameters.hDeviceWindow = window;
  parameters.Windowed = TRUE;
  // On failure these go in the order service, manager, device, d3d.
  Ref<IDirect3DDevice9> device;
  Ref<IDirect3DDeviceManager9> manager;
  Ref<IDirectXVideoDecoderService> service;
  HANDLE handle = nullptr;
  UINT token = 0;
  HRESULT result = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window,
                                     D3DCREATE_SOFTWARE_VERTEXPROCESSING, &parameters, device.out());
  if (SUCCEEDED(result)) {
    Ref<IDirect3DSurface9> backBuffer;
    result = device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, backBuffer.out());
    if (SUCCEEDED(result)) result = device->ColorFill(backBuffer.get(), nullptr, kBackBufferColour);
  }
  if (SUCCEEDED(result)) result = DXVA2CreateDirect3DDeviceManager9(&token, manager.out());
  if (SUCCEEDED(result)) {
    manager->ResetDevice(device.get(), token);
    result = manager->OpenDeviceHandle(&handle);
  }
  if (SUCCEEDED(result))
    result = manager->GetVideoService(handle, IID_IDirectXVideoDecoderService, service.outVoid());
  if (FAILED(result)) {
    if (manager && handle) manager->CloseDeviceHandle(handle);
    return result;
  }
  d3d_ = std::move(d3d);
  device_ = std::move(device);
  manager_ = std::move(manager);
  service_ = std::move(service);
  deviceHandle_ = handle;
  resetToken_ = token;
  return result;
}

void CDXVAStream::ReleaseDevice() {
  service_.reset();
  if (manager_ && deviceHandle_) manager_->CloseDeviceHandle(deviceHandle_);
  deviceHandle_ = nullptr;
  manager_.reset();
  device_.reset();
  d3d_.reset();
}

GUID CDXVAStream::TranslateProfile(const GUID& requested, uint32_t recordVendor, uint32_t adapterVendor) {
  if (recordVendor == adapterVendor) return requested;
  for (const Translation& t : kTranslations)
    if (t.recordVendor == recordVendor && t.adapterVendor == adapterVendor && t.requested == requested)
      return t.used;
  return requested;
}

int CDXVAStream::SetFormat(const StreamFormatRecord& record) {
  if (record.size < kFormatRecordSize || record.block.size() < kDescriptionSize) return E_INVALIDARG;
  CxAutoLock hold(lock_.Record());
  const Description description(record.block.data());
  const GUID profile = TranslateProfile(record.majorType, description.vendor, adapterVendor_);
  // 0x1004 and 0x1005 are failures too, though not negative.
  const HRESULT result = CreateDecoder(profile, record.block.data());
  if (result != S_OK) return result;
  profile_ = profile;
  description_.assign(record.block.begin(), record.block.begin() + kDescriptionSize);
  lastVc1Params_.fill(0);
  return 0;
}

HRESULT CDXVAStream::CreateDecoder(const GUID& profile, const uint8_t* block) {
  routine_ = Routine::kNone;
  if (!block) return E_INVALIDARG;
  if (!service_) return kNoDecoder;
  const Description description(block);
  ReleaseDecoderResources();

  TaskArray<GUID> guids;
  HRESULT result = service_->GetDecoderDeviceGuids(&guids.count, &guids.items);
  if (FAILED(result)) return result;
  if (!guids.Contains(profile)) return E_NOINTERFACE;
  TaskArray<D3DFORMAT> formats;
  result = service_->GetDecoderRenderTargets(profile, &formats.count, &formats.items);
  if (FAILED(result)) return result;
  if (!formats.Contains(description.video.Format)) return E_NOINTERFACE;
  TaskArray<DXVA2_ConfigPictureDecode> configs;
  result = service_->GetDecoderConfigurations(profile, &description.video, nullptr, &configs.count, &configs.items);
  if (FAILED(result)) return result;
  const DXVA2_ConfigPictureDecode* config = nullptr;
  for (UINT i = 0; i < configs.count && !config; ++i)
    if (configs.items[i].ConfigBitstreamRaw == description.bitstreamRaw) config = &configs.items[i];
  if (!config) return kNoConfiguration;

  // Picture parameters name a surface in 7 bits (H.264) or 16 (VC-1); more
  // surfaces than that serve no stream.
  if (description.backBuffers >= kMaxSurfaces) return E_INVALIDARG;
  std::vector<IDirect3DSurface9*> surfaces(description.backBuffers + 1, nullptr);
  result = service_->CreateSurface(description.video.SampleWidth, description.video.SampleHeight,
                                   description.backBuffers, description.video.Format, D3DPOOL_DEFAULT, 0,
                                   DXVA2_VideoDecoderRenderTarget, surfaces.data(), nullptr);
  if (FAILED(result)) return result;
  surfaces_.clear();
  for (IDirect3DSurface9* made : surfaces) surfaces_.emplace_back(made);  // adopts the service's reference
  RebuildQueue();

  if (device_) {
    device_->CreateRenderTarget(description.video.SampleWidth, description.video.SampleHeight, D3DFMT_A8R8G8B8,
                                D3DMULTISAMPLE_NONE, 0, TRUE, conversionTarget_.out(), nullptr);
    device_->CreateOffscreenPlainSurface(description.video.SampleWidth, description.video.SampleHeight,
                                         D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, readBack_.out(), nullptr);
  }
  // The decoder renders into the surfaces just made, still in `surfaces`.
  result = service_->CreateVideoDecoder(profile, &description.video, config, surfaces.data(),
                                        UINT(surfaces.size()), decoder_.out());
  if (FAILED(result)) {
    ReleaseDecoderResources();
    return result;
  }
  const ProfileRow* row = FindProfile(profile);
  if (!row) {
    ReleaseDecoderResources();
    return E_NOTIMPL;
  }
  routine_ = row->h264 ? Routine::kH264 : Routine::kVc1;
  return 0;
}

void CDXVAStream::ReleaseDecoderResources() {
  {
    CxAutoLock hold(queueLock_.Record());
    queue_.clear();
    queuedCount_ = 0;
  }
  // Frames still open belong to the decoder that goes now.
  openFrames_ = 0;
  surfaces_.clear();
  conversionTarget_.reset();
  readBack_.reset();
  decoder_.reset();
  lastVc1Params_.fill(0);
  routine_ = Routine::kNone;
}

HRESULT CDXVAStream::RecreateDecoder() {
  if (!manager_ || !service_) {
    ReleaseDecoderResources();
    return 0;
  }
  if (deviceHandle_) manager_->CloseDeviceHandle(deviceHandle_);
  deviceHandle_ = nullptr;
  ReleaseDecoderResources();
  service_.reset();
  HRESULT result = manager_->OpenDeviceHandle(&deviceHandle_);
  if (SUCCEEDED(result))
    result = manager_->GetVideoService(deviceHandle_, IID_IDirectXVideoDecoderService, service_.outVoid());
  if (SUCCEEDED(result))
    result = description_.size() == kDescriptionSize ? CreateDecoder(profile_, description_.data()) : E_INVALIDARG;
  if (result != S_OK) {
    if (deviceHandle_) manager_->CloseDeviceHandle(deviceHandle_);
    deviceHandle_ = nullptr;
    service_.reset();
  }
  return result;
}

int CDXVAStream::Close() {
  CxAutoLock hold(lock_.Record());
  ReleaseDecoderResources();
  return 0;
}

uint32_t CDXVAStream::ProbeProfiles() {
  CxAutoLock hold(lock_.Record());
  if (!service_) return 0;
  TaskArray<GUID> guids;
  if (FAILED(service_->GetDecoderDeviceGuids(&guids.count, &guids.items))) return 0;
  uint32_t mask = 0;
  for (UINT i = 0; i < guids.count; ++i)
    if (const ProfileRow* row = FindProfile(guids.items[i])) mask |= row->maskBit;
  for (const VendorAlias& alias : kAliases)
    if (alias.adapterVendor == adapterVendor_ && guids.Contains(alias.listed) && (mask & alias.listedBit))
      mask |= alias.addedBit;
  return mask;
}

uint32_t CDXVAStream::ProbeDxvaProfiles() {
  HRESULT status = E_FAIL;
  CDXVAStream probe(GetDesktopWindow(), &status, 0);
  return SUCCEEDED(status) ? probe.ProbeProfiles() : 0;
}

int CDXVAStream::ProcessSample(const uint8_t* data, uint32_t length, const StreamSampleContext&) {
  if (!data || length < 1) return E_INVALIDARG;
  CxAutoLock hold(lock_.Record());
  if (!decoder_ || surfaces_.empty()) return kNoDecoder;
  FrameRecord frame;
  if (!ParseFrameRecord(data, length, &frame)) return E_INVALIDARG;
  switch (routine_) {
    case Routine::kH264:
      return DecodeH264(frame);
    case Routine::kVc1:
      return DecodeVC1(frame);
    case Routine::kNone:
      break;
  }
  return 0;
}

HRESULT CDXVAStream::CheckDevice() {
  if (!manager_ || !deviceHandle_) return 0;
  if (manager_->TestDevice(deviceHandle_) != DXVA2_E_NEW_VIDEO_DEVICE) return 0;
  const HRESULT result = RecreateDecoder();
  if (result != S_OK) return result;
  return decoder_ && !surfaces_.empty() ? S_OK : kNoDecoder;
}

HRESULT CDXVAStream::BeginFrameWithRetries(uint32_t surfaceIndex) {
  HRESULT result = E_FAIL;
  for (int attempt = 0; attempt < kBeginFrameTries; ++attempt) {
    if (attempt > 0) Sleep(kBeginFrameRetryMs);
    result = decoder_->BeginFrame(surfaces_[surfaceIndex].get(), nullptr);
    if (SUCCEEDED(result)) {
      ++openFrames_;
      return result;
    }
  }
  return result;
}

void CDXVAStream::EndOpenFrames() {
  for (; openFrames_ > 0; --openFrames_) decoder_->EndFrame(nullptr);
}

bool CDXVAStream::SubmitBuffers(const FrameRecord& frame, HRESULT* result) {
  DXVA2_DecodeBufferDesc descs[kMaxBufferRecords] = {};
  for (uint32_t i = 0; i < frame.count; ++i) {
    const BufferRecord& b = frame.buffers[i];
    void* buffer = nullptr;
    UINT size = 0;
    *result = decoder_->GetBuffer(b.type, &buffer, &size);
    if (FAILED(*result)) return false;
    const bool fits = b.dataSize <= size && buffer;
    if (fits && b.dataSize) std::memcpy(buffer, b.data, b.dataSize);
    decoder_->ReleaseBuffer(b.type);
    if (!fits) {
      *result = E_INVALIDARG;
      return false;
    }
    descs[i] = DXVA2_DecodeBufferDesc{b.type,   0,        b.dataOffset, b.dataSize,     b.firstMBaddress,
                                      b.numMBsInBuffer, b.width, b.height, b.stride, b.reservedBits,
                                      nullptr};
  }
  DXVA2_DecodeExecuteParams params{frame.count, descs, nullptr};
  *result = decoder_->Execute(&params);
  return true;
}

HRESULT CDXVAStream::DecodeH264(const FrameRecord& frame) {
  if (frame.count == 0) return 0;
  HRESULT result = CheckDevice();
  if (result != S_OK) return result;
  const BufferRecord* params = frame.PictureParameters();
  if (!params || params->dataSize < kH264ParamsSize) return E_ABORT;
  ByteReader in(params->data, params->dataSize);
  in.Skip(4);
  const uint8_t currPic = in.U8();
  const uint8_t numRefFrames = in.U8();
  const bool fieldPic = in.U8() & 1;
  in.Skip(32 - 7);
  const int32_t orderCount0 = in.I32();
  const int32_t orderCount1 = in.I32();
  const uint32_t surfaceIndex = currPic & 0x7F;
  if (surfaceIndex >= surfaces_.size()) return E_ABORT;

  EndOpenFrames();
  result = BeginFrameWithRetries(surfaceIndex);
  if (FAILED(result)) return result;
  const bool submitted = SubmitBuffers(frame, &result);
  EndOpenFrames();
  if (!submitted) return result;
  if (FAILED(result)) return 0;

  const int32_t key = fieldPic && (currPic & 0x80) ? orderCount1 : orderCount0;
  if (!QueuePicture(surfaceIndex, key, numRefFrames)) return 0;
  const int entry = TakeNextPicture();
  if (entry < 0) return 0;
  const int32_t shown = queue_[entry].surfaceIndex;
  if (shown >= 0 && uint32_t(shown) < surfaces_.size()) DrawSurface(surfaces_[shown].get(), frame.rect, frame.colourKey);
  FreeEntry(entry);
  return 0;
}

HRESULT CDXVAStream::DecodeVC1(const FrameRecord& frame) {
  if (frame.count == 0) return 0;
  HRESULT result = CheckDevice();
  if (result != S_OK) return result;
  const BufferRecord* params = frame.PictureParameters();
  if (params) {
    if (params->dataSize < kVc1ParamsSize) return E_INVALIDARG;
    ByteReader in(params->data, kVc1ParamsSize);
    const uint16_t decoded = in.U16();
    const uint16_t deblocked = in.U16();
    in.Skip(31 - 4);
    const bool deblocking = in.U8() != 0 && deblocked != decoded;
    if (decoded >= surfaces_.size() || (deblocking && deblocked >= surfaces_.size())) return E_INVALIDARG;
    // A new picture ends whatever an earlier record left open.
    EndOpenFrames();
    std::memcpy(lastVc1Params_.data(), params->data, kVc1ParamsSize);
    result = BeginFrameWithRetries(decoded);
    if (SUCCEEDED(result) && deblocking) result = BeginFrameWithRetries(deblocked);
    if (FAILED(result)) {
      EndOpenFrames();
      return result;
    }
  } else if (openFrames_ == 0) {
    return E_INVALIDARG;  // the rest of a picture whose parameters never came
  }
  const bool submitted = SubmitBuffers(frame, &result);
  if (!submitted) {
    EndOpenFrames();
    return result;
  }
  if (frame.count == 1 && params) return 0;

  ByteReader in(lastVc1Params_.data(), lastVc1Params_.size());
  const uint16_t decoded = in.U16();
  const uint16_t deblocked = in.U16();
  in.Skip(31 - 4);
  const bool deblocking = in.U8() != 0 && deblocked != decoded;
  EndOpenFrames();
  const uint16_t shown = deblocking ? deblocked : decoded;
  if (SUCCEEDED(result) && shown < surfaces_.size()) DrawSurface(surfaces_[shown].get(), frame.rect, frame.colourKey);
  return 0;
}

HRESULT CDXVAStream::DrawSurface(IDirect3DSurface9* surface, const RECT& rect, int32_t colourKey) {
  if (!surface) return E_INVALIDARG;
  if (!conversionTarget_ || !readBack_ || !device_) return kNoDecoder;
  if (FAILED(device_->StretchRect(surface, nullptr, conversionTarget_.get(), nullptr, D3DTEXF_NONE)) ||
      FAILED(device_->GetRenderTargetData(conversionTarget_.get(), readBack_.get())))
    return E_FAIL;
  D3DSURFACE_DESC desc;
  D3DLOCKED_RECT locked;
  if (FAILED(readBack_->GetDesc(&desc)) || FAILED(readBack_->LockRect(&locked, nullptr, D3DLOCK_READONLY)))
    return E_FAIL;
  const int width = int(desc.Width), height = int(desc.Height);
  const BYTE* pixels = static_cast<const BYTE*>(locked.pBits);
  // The keeper takes rows of exactly width x 4 bytes.
  std::vector<BYTE> packed;
  if (locked.Pitch != width * 4) {
    packed.resize(size_t(width) * 4 * height);
    for (int y = 0; y < height; ++y)
      std::memcpy(&packed[size_t(y) * width * 4], pixels + size_t(y) * locked.Pitch, size_t(width) * 4);
    pixels = packed.data();
  }
  const int64_t targetWidth = int64_t(rect.right) - rect.left, targetHeight = int64_t(rect.bottom) - rect.top;
  if (port_ && targetWidth > 0 && targetHeight > 0) {
    SurfaceLock lock(port_.get(), displayIndex_);
    if (ISurfaceKeeper* keeper = lock.Surface()) {
      if (targetWidth == width && targetHeight == height)
        keeper->BitBltKeyed(rect.left, rect.top, width, height, 4, pixels, colourKey);
      else  // a negative width: rows stored top-down
        keeper->StretchBltKeyed(-width, height, rect, 4, pixels, colourKey);
      keeper->AddDamage(rect.left, rect.top, int(targetWidth), int(targetHeight));
    }
  }
  readBack_->UnlockRect();
  return 0;
}

void CDXVAStream::RebuildQueue() {
  CxAutoLock hold(queueLock_.Record());
  queue_.assign(surfaces_.size(), QueueEntry{});
  // Pictures queued before are gone with their entries.
  queuedCount_ = 0;
}

bool CDXVAStream::QueuePicture(uint32_t surfaceIndex, int32_t key, uint32_t numRefFrames) {
  CxAutoLock hold(queueLock_.Record());
  // One entry stays for the picture that pushes the oldest out.
  const uint32_t entries = uint32_t(queue_.size());
  reorderDepth_ = std::min(entries ? entries - 1 : 0, std::max(3u, numRefFrames));
  for (QueueEntry& e : queue_) {
    if (e.surfaceIndex == -1 && e.key == -1) {
      e = QueueEntry{1, 0, int32_t(surfaceIndex), key};
      ++queuedCount_;
      return true;
    }
  }
  return false;
}

int CDXVAStream::TakeNextPicture() {
  CxAutoLock hold(queueLock_.Record());
  if (queuedCount_ <= reorderDepth_) return -1;
  int next = -1, newSequence = -1, smallest = -1;
  for (int i = 0; i < int(queue_.size()); ++i) {
    const QueueEntry& e = queue_[i];
    if (!e.queued) continue;
    if (e.key > lastOutputKey_ && (next < 0 || e.key < queue_[next].key)) next = i;
    if (e.key == 0 && newSequence < 0) newSequence = i;
    if (smallest < 0 || e.key < queue_[smallest].key) smallest = i;
  }
  // Past the depth something must go: without a later key and without a
  // new sequence, the smallest key is the oldest picture.
  const int taken = next >= 0 ? next : newSequence >= 0 ? newSequence : smallest;
  if (taken >= 0) lastOutputKey_ = queue_[taken].key;
  return taken;
}

void CDXVAStream::FreeEntry(int entry) {
  CxAutoLock hold(queueLock_.Record());
  if (entry < 0 || entry >= int(queue_.size())) return;
  if (queue_[entry].queued && queuedCount_ > 0) --queuedCount_;
  queue_[entry] = QueueEntry{};
}

void RegisterDxvaStreamKind() {
  RegisterStreamKindMaker(StreamKind::kDxva, [](const StreamKindArgs& args) -> std::unique_ptr<CStream> {
    HRESULT status = E_FAIL;
    return std::make_unique<CDXVAStream>(args.port, reinterpret_cast<HWND>(args.window), &status,
                                         args.displayIndex);
  });
  SetHelloProbe(&HelloProbes::probeDxvaProfiles, &CDXVAStream::ProbeDxvaProfiles);
}
