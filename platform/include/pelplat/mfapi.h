// Media Foundation's start-up, object creation and transform enumeration,
// with the media type GUIDs and attribute keys the media code uses.
#pragma once

#include "pelplat/mftransform.h"

// A media subtype made from a four-character code or a D3D format number.
#define PELPLAT_MEDIATYPE_GUID(name, format) \
  PELPLAT_GUID(name, format, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71)
#define PELPLAT_FCC(a, b, c, d)                                                                      \
  (static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) | \
   (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24))

// The base from which every four-character subtype is made.
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_Base, 0x00000000);
PELPLAT_MEDIATYPE_GUID(MFMediaType_Video, PELPLAT_FCC('v', 'i', 'd', 's'));
PELPLAT_MEDIATYPE_GUID(MFMediaType_Audio, PELPLAT_FCC('a', 'u', 'd', 's'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_H264, PELPLAT_FCC('H', '2', '6', '4'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_WMV1, PELPLAT_FCC('W', 'M', 'V', '1'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_WMV2, PELPLAT_FCC('W', 'M', 'V', '2'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_WMV3, PELPLAT_FCC('W', 'M', 'V', '3'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_WVC1, PELPLAT_FCC('W', 'V', 'C', '1'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_MJPG, PELPLAT_FCC('M', 'J', 'P', 'G'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_NV12, PELPLAT_FCC('N', 'V', '1', '2'));
PELPLAT_MEDIATYPE_GUID(MFVideoFormat_RGB32, 22);  // D3DFMT_X8R8G8B8: bytes B, G, R, X

// Audio subtypes carry the WAVEFORMATEX format tag.
PELPLAT_MEDIATYPE_GUID(MFAudioFormat_PCM, 0x0001);
PELPLAT_MEDIATYPE_GUID(MFAudioFormat_Float, 0x0003);
PELPLAT_MEDIATYPE_GUID(MFAudioFormat_MP3, 0x0055);
PELPLAT_MEDIATYPE_GUID(MFAudioFormat_WMAudioV8, 0x0161);
PELPLAT_MEDIATYPE_GUID(MFAudioFormat_AAC, 0x1610);

// {d6c02d4b-6833-45b4-971a-05a4b04bab91}
PELPLAT_GUID(MFT_CATEGORY_VIDEO_DECODER, 0xd6c02d4b, 0x6833, 0x45b4, 0x97, 0x1a, 0x05, 0xa4, 0xb0, 0x4b, 0xab, 0x91);
// {9ea73fb4-ef7a-4559-8d5d-719d8f0426c7}
PELPLAT_GUID(MFT_CATEGORY_AUDIO_DECODER, 0x9ea73fb4, 0xef7a, 0x4559, 0x8d, 0x5d, 0x71, 0x9d, 0x8f, 0x04, 0x26, 0xc7);
// {302ea3fc-aa5f-47f9-9f7a-c2188bb16302}
PELPLAT_GUID(MFT_CATEGORY_VIDEO_PROCESSOR, 0x302ea3fc, 0xaa5f, 0x47f9, 0x9f, 0x7a, 0xc2, 0x18, 0x8b, 0xb1, 0x63, 0x02);

// Media type attributes.
// {48eba18e-f8c9-4687-bf11-0a74c9f96a8f}
PELPLAT_GUID(MF_MT_MAJOR_TYPE, 0x48eba18e, 0xf8c9, 0x4687, 0xbf, 0x11, 0x0a, 0x74, 0xc9, 0xf9, 0x6a, 0x8f);
// {f7e34c9a-42e8-4714-b74b-cb29d72c35e5}
PELPLAT_GUID(MF_MT_SUBTYPE, 0xf7e34c9a, 0x42e8, 0x4714, 0xb7, 0x4b, 0xcb, 0x29, 0xd7, 0x2c, 0x35, 0xe5);
// {1652c33d-d6b2-4012-b834-72030849a37d}: width in the upper, height in the lower 32 bits
PELPLAT_GUID(MF_MT_FRAME_SIZE, 0x1652c33d, 0xd6b2, 0x4012, 0xb8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xa3, 0x7d);
// {b6bc765f-4c3b-40a4-bd51-2535b66fe09d}
PELPLAT_GUID(MF_MT_USER_DATA, 0xb6bc765f, 0x4c3b, 0x40a4, 0xbd, 0x51, 0x25, 0x35, 0xb6, 0x6f, 0xe0, 0x9d);
// {e2724bb8-e676-4806-b4b2-a8d6efb44ccd}
PELPLAT_GUID(MF_MT_INTERLACE_MODE, 0xe2724bb8, 0xe676, 0x4806, 0xb4, 0xb2, 0xa8, 0xd6, 0xef, 0xb4, 0x4c, 0xcd);
// {644b4e48-1e02-4516-b0eb-c01ca9d49ac6}
PELPLAT_GUID(MF_MT_DEFAULT_STRIDE, 0x644b4e48, 0x1e02, 0x4516, 0xb0, 0xeb, 0xc0, 0x1c, 0xa9, 0xd4, 0x9a, 0xc6);
// Audio media type attributes.
// {37e48bf5-645e-4c5b-89de-ada9e29b696a}
PELPLAT_GUID(MF_MT_AUDIO_NUM_CHANNELS, 0x37e48bf5, 0x645e, 0x4c5b, 0x89, 0xde, 0xad, 0xa9, 0xe2, 0x9b, 0x69, 0x6a);
// {5faeeae7-0290-4c31-9e8a-c534f68d9dba}
PELPLAT_GUID(MF_MT_AUDIO_SAMPLES_PER_SECOND, 0x5faeeae7, 0x0290, 0x4c31, 0x9e, 0x8a, 0xc5, 0x34, 0xf6, 0x8d, 0x9d,
             0xba);
// {f2deb57f-40fa-4764-aa33-ed4f2d1ff669}
PELPLAT_GUID(MF_MT_AUDIO_BITS_PER_SAMPLE, 0xf2deb57f, 0x40fa, 0x4764, 0xaa, 0x33, 0xed, 0x4f, 0x2d, 0x1f, 0xf6, 0x69);
// {322de230-9eeb-43bd-ab7a-ff412251541d}
PELPLAT_GUID(MF_MT_AUDIO_BLOCK_ALIGNMENT, 0x322de230, 0x9eeb, 0x43bd, 0xab, 0x7a, 0xff, 0x41, 0x22, 0x51, 0x54, 0x1d);
// {1aab75c8-cfef-451c-ab95-ac034b8e1731}
PELPLAT_GUID(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0x1aab75c8, 0xcfef, 0x451c, 0xab, 0x95, 0xac, 0x03, 0x4b, 0x8e, 0x17,
             0x31);
// {bfbabe79-7434-4d1c-94f0-72a3b9e17188}: 0 raw AAC, 1 ADTS
PELPLAT_GUID(MF_MT_AAC_PAYLOAD_TYPE, 0xbfbabe79, 0x7434, 0x4d1c, 0x94, 0xf0, 0x72, 0xa3, 0xb9, 0xe1, 0x71, 0x88);
// {7632f0e6-9538-4d61-acda-ea29c8c14456}
PELPLAT_GUID(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION, 0x7632f0e6, 0x9538, 0x4d61, 0xac, 0xda, 0xea, 0x29, 0xc8,
             0xc1, 0x44, 0x56);
// {3c036de7-3ad0-4c9e-9216-ee6d6ac21cb3}
PELPLAT_GUID(MF_MT_MPEG_SEQUENCE_HEADER, 0x3c036de7, 0x3ad0, 0x4c9e, 0x92, 0x16, 0xee, 0x6d, 0x6a, 0xc2, 0x1c, 0xb3);
// {c459a2e8-3d2c-4e44-b132-fee5156c7bb0}: numerator in the upper, denominator in the lower 32 bits
PELPLAT_GUID(MF_MT_FRAME_RATE, 0xc459a2e8, 0x3d2c, 0x4e44, 0xb1, 0x32, 0xfe, 0xe5, 0x15, 0x6c, 0x7b, 0xb0);
// Transform attributes.
// {9c27891a-ed7a-40e1-88e8-b22727a024ee}
PELPLAT_GUID(MF_LOW_LATENCY, 0x9c27891a, 0xed7a, 0x40e1, 0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee);
// {f7db8b2e-4f48-4ee8-ae31-8b6ebe558ae2}
PELPLAT_GUID(CODECAPI_AVDecVideoAcceleration_H264, 0xf7db8b2e, 0x4f48, 0x4ee8, 0xae, 0x31, 0x8b, 0x6e, 0xbe, 0x55, 0x8a, 0xe2);
// Activation object attributes.
// {314ffbae-5b41-4c95-9c19-4e7d586face3}
PELPLAT_GUID(MFT_FRIENDLY_NAME_Attribute, 0x314ffbae, 0x5b41, 0x4c95, 0x9c, 0x19, 0x4e, 0x7d, 0x58, 0x6f, 0xac, 0xe3);
// {6821c42b-65a4-4e82-99bc-9a88205ecd0c}
PELPLAT_GUID(MFT_TRANSFORM_CLSID_Attribute, 0x6821c42b, 0x65a4, 0x4e82, 0x99, 0xbc, 0x9a, 0x88, 0x20, 0x5e, 0xcd, 0x0c);

#define MFVideoInterlace_MixedInterlaceOrProgressive 7u

#define MF_SDK_VERSION 0x0002u
#define MF_API_VERSION 0x0070u
#define MF_VERSION ((MF_SDK_VERSION << 16) | MF_API_VERSION)
#define MFSTARTUP_NOSOCKET 0x1u
#define MFSTARTUP_LITE MFSTARTUP_NOSOCKET
#define MFSTARTUP_FULL 0u

#define MFT_ENUM_FLAG_SYNCMFT 0x1u
#define MFT_ENUM_FLAG_ASYNCMFT 0x2u
#define MFT_ENUM_FLAG_HARDWARE 0x4u
#define MFT_ENUM_FLAG_FIELDOFUSE 0x8u
#define MFT_ENUM_FLAG_LOCALMFT 0x10u
#define MFT_ENUM_FLAG_TRANSCODE_ONLY 0x20u
#define MFT_ENUM_FLAG_SORTANDFILTER 0x40u
#define MFT_ENUM_FLAG_ALL 0x3Fu

struct MFT_REGISTER_TYPE_INFO {
  GUID guidMajorType;
  GUID guidSubtype;
};

// Counted: every MFStartup needs its MFShutdown. The first one installs the
// platform's transforms; MF_E_BAD_STARTUP_VERSION for another version.
#define MF_E_BAD_STARTUP_VERSION static_cast<HRESULT>(0xC00D36E3)
HRESULT MFStartup(ULONG version, DWORD flags = MFSTARTUP_FULL);
HRESULT MFShutdown();

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initialSize);
HRESULT MFCreateMediaType(IMFMediaType** type);
HRESULT MFCreateSample(IMFSample** sample);
HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
// alignment is a mask: 15 for 16-byte alignment.
HRESULT MFCreateAlignedMemoryBuffer(DWORD maxLength, DWORD alignment, IMFMediaBuffer** buffer);

// Class ids of the transforms of a category that take the input type and
// give the output type (null matches every type); the array comes from
// CoTaskMemAlloc (null when none match).
HRESULT MFTEnum(GUID category, UINT32 flags, MFT_REGISTER_TYPE_INFO* inputType,
                MFT_REGISTER_TYPE_INFO* outputType, IMFAttributes* attributes, CLSID** clsids,
                UINT32* count);
// The same as activation objects; flags 0 means SYNCMFT | LOCALMFT |
// SORTANDFILTER. The caller releases each entry and frees the array with
// CoTaskMemFree.
HRESULT MFTEnumEx(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* inputType,
                  const MFT_REGISTER_TYPE_INFO* outputType, IMFActivate*** activates, UINT32* count);
// A transform of this process, made through the class registry by its id.
HRESULT MFTRegisterLocalByCLSID(REFCLSID clsid, REFGUID category, LPCWSTR name, UINT32 flags,
                                UINT32 inputCount, const MFT_REGISTER_TYPE_INFO* inputTypes,
                                UINT32 outputCount, const MFT_REGISTER_TYPE_INFO* outputTypes);
HRESULT MFTUnregisterLocalByCLSID(CLSID clsid);

inline HRESULT MFSetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32 width, UINT32 height) {
  return attributes->SetUINT64(key, (static_cast<UINT64>(width) << 32) | height);
}
inline HRESULT MFGetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32* width, UINT32* height) {
  UINT64 packed = 0;
  const HRESULT hr = attributes->GetUINT64(key, &packed);
  *width = static_cast<UINT32>(packed >> 32);
  *height = static_cast<UINT32>(packed);
  return hr;
}

// A media type from a DirectShow one: the major type and subtype, and what
// the format block (VIDEOINFOHEADER, VIDEOINFOHEADER2, MPEG1VIDEOINFO,
// MPEG2VIDEOINFO or WAVEFORMATEX) tells of frame size and rate, the MPEG
// sequence header, the audio layout and the codec's own bytes. A block
// shorter than its structure or than the sizes it gives: E_INVALIDARG; a
// format type other than those: MF_E_INVALIDMEDIATYPE.
struct AM_MEDIA_TYPE;
HRESULT MFInitMediaTypeFromAMMediaType(IMFMediaType* type, const AM_MEDIA_TYPE* amType);
