// DXVA2: the device manager and the video decoder service over the
// in-process Direct3D 9 model. The decoder takes the compressed buffers of
// a picture between BeginFrame and EndFrame; what it writes into its
// render targets is described in d3d9model.h.
#pragma once

#include "pelplat/d3d9.h"

PELPLAT_GUID(IID_IDirectXVideoDecoderService, 0xfc51a551, 0xd5e7, 0x11d9, 0xaf, 0x55, 0x00, 0x05, 0x4e, 0x43,
             0xff, 0x02);

PELPLAT_GUID(DXVA2_ModeH264_E, 0x1b81be68, 0xa0c7, 0x11d3, 0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5);
PELPLAT_GUID(DXVA2_ModeH264_F, 0x1b81be69, 0xa0c7, 0x11d3, 0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5);
PELPLAT_GUID(DXVA2_ModeVC1_C, 0x1b81bea2, 0xa0c7, 0x11d3, 0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5);
PELPLAT_GUID(DXVA2_ModeVC1_D, 0x1b81bea3, 0xa0c7, 0x11d3, 0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5);
PELPLAT_GUID(DXVA2_ModeVC1_D2010, 0x1b81bea4, 0xa0c7, 0x11d3, 0xb9, 0x84, 0x00, 0xc0, 0x4f, 0x2e, 0x73, 0xc5);

#define DXVA2_E_NOT_INITIALIZED static_cast<HRESULT>(0x80041000)
#define DXVA2_E_NEW_VIDEO_DEVICE static_cast<HRESULT>(0x80041001)
#define DXVA2_E_VIDEO_DEVICE_LOCKED static_cast<HRESULT>(0x80041002)
#define DXVA2_E_NOT_AVAILABLE static_cast<HRESULT>(0x80041003)

#define DXVA2_VideoDecoderRenderTarget 0u
#define DXVA2_VideoProcessorRenderTarget 1u
#define DXVA2_VideoSoftwareRenderTarget 2u

enum {
  DXVA2_PictureParametersBufferType = 0,
  DXVA2_MacroBlockControlBufferType = 1,
  DXVA2_ResidualDifferenceBufferType = 2,
  DXVA2_DeblockingControlBufferType = 3,
  DXVA2_InverseQuantizationMatrixBufferType = 4,
  DXVA2_SliceControlBufferType = 5,
  DXVA2_BitStreamDateBufferType = 6,
  DXVA2_MotionVectorBuffer = 7,
  DXVA2_FilmGrainPeramterBufferType = 8,
};

struct DXVA2_ExtendedFormat {
  UINT value;
};

struct DXVA2_Frequency {
  UINT Numerator;
  UINT Denominator;
};

struct DXVA2_VideoDesc {
  UINT SampleWidth;
  UINT SampleHeight;
  DXVA2_ExtendedFormat SampleFormat;
  D3DFORMAT Format;
  DXVA2_Frequency InputSampleFreq;
  DXVA2_Frequency OutputFrameFreq;
  UINT UABProtectionLevel;
  UINT Reserved;
};

struct DXVA2_ConfigPictureDecode {
  GUID guidConfigBitstreamEncryption;
  GUID guidConfigMBcontrolEncryption;
  GUID guidConfigResidDiffEncryption;
  UINT ConfigBitstreamRaw;
  UINT ConfigMBcontrolRasterOrder;
  UINT ConfigResidDiffHost;
  UINT ConfigSpatialResid8;
  UINT ConfigResid8Subtraction;
  UINT ConfigSpatialHost8or9Clipping;
  UINT ConfigSpatialResidInterleaved;
  UINT ConfigIntraResidUnsigned;
  UINT ConfigResidDiffAccelerator;
  UINT ConfigHostInverseScan;
  UINT ConfigSpecificIDCT;
  UINT Config4GroupedCoefs;
  USHORT ConfigMinRenderTargetBuffCount;
  USHORT ConfigDecoderSpecific;
};

struct DXVA2_DecodeBufferDesc {
  DWORD CompressedBufferType;
  UINT BufferIndex;
  UINT DataOffset;
  UINT DataSize;
  UINT FirstMBaddress;
  UINT NumMBsInBuffer;
  UINT Width;
  UINT Height;
  UINT Stride;
  UINT ReservedBits;
  void* pvPVPState;
};

struct DXVA2_DecodeExtensionData {
  UINT Function;
  void* pPrivateInputData;
  UINT PrivateInputDataSize;
  void* pPrivateOutputData;
  UINT PrivateOutputDataSize;
};

struct DXVA2_DecodeExecuteParams {
  UINT NumCompBuffers;
  DXVA2_DecodeBufferDesc* pCompressedBuffers;
  DXVA2_DecodeExtensionData* pExtensionData;
};

struct IDirectXVideoDecoder : IUnknown {
  // Opens a picture on one of the decoder's render targets. A second
  // BeginFrame before EndFrame opens a second target (a deblocked copy).
  virtual HRESULT BeginFrame(IDirect3DSurface9* renderTarget, void* pvpData) = 0;
  // Closes the most recently opened target; E_FAIL when none is open.
  virtual HRESULT EndFrame(HANDLE* handleComplete) = 0;
  virtual HRESULT GetBuffer(UINT bufferType, void** buffer, UINT* bufferSize) = 0;
  virtual HRESULT ReleaseBuffer(UINT bufferType) = 0;
  virtual HRESULT Execute(const DXVA2_DecodeExecuteParams* parameters) = 0;

 protected:
  ~IDirectXVideoDecoder() = default;
};

struct IDirectXVideoDecoderService : IUnknown {
  // `surfaces` receives backBuffers + 1 surfaces.
  virtual HRESULT CreateSurface(UINT width, UINT height, UINT backBuffers, D3DFORMAT format, D3DPOOL pool,
                                DWORD usage, DWORD dxvaType, IDirect3DSurface9** surfaces, HANDLE* shared) = 0;
  // The arrays are CoTaskMemAlloc'ed; the caller frees them with CoTaskMemFree.
  virtual HRESULT GetDecoderDeviceGuids(UINT* count, GUID** guids) = 0;
  virtual HRESULT GetDecoderRenderTargets(REFGUID guid, UINT* count, D3DFORMAT** formats) = 0;
  virtual HRESULT GetDecoderConfigurations(REFGUID guid, const DXVA2_VideoDesc* desc, void* reserved,
                                           UINT* count, DXVA2_ConfigPictureDecode** configs) = 0;
  virtual HRESULT CreateVideoDecoder(REFGUID guid, const DXVA2_VideoDesc* desc,
                                     const DXVA2_ConfigPictureDecode* config, IDirect3DSurface9** renderTargets,
                                     UINT count, IDirectXVideoDecoder** decoder) = 0;

 protected:
  ~IDirectXVideoDecoderService() = default;
};

struct IDirect3DDeviceManager9 : IUnknown {
  virtual HRESULT ResetDevice(IDirect3DDevice9* device, UINT resetToken) = 0;
  virtual HRESULT OpenDeviceHandle(HANDLE* device) = 0;
  virtual HRESULT CloseDeviceHandle(HANDLE device) = 0;
  // S_OK, E_HANDLE for a handle this manager did not open, or
  // DXVA2_E_NEW_VIDEO_DEVICE once the device changed after the handle opened.
  virtual HRESULT TestDevice(HANDLE device) = 0;
  virtual HRESULT GetVideoService(HANDLE device, REFIID riid, void** service) = 0;

 protected:
  ~IDirect3DDeviceManager9() = default;
};

HRESULT DXVA2CreateDirect3DDeviceManager9(UINT* resetToken, IDirect3DDeviceManager9** manager);
