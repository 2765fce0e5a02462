// Media Foundation's media-source side: media type handlers, stream and
// presentation descriptors and the media stream interface that a custom
// media source implements.
#pragma once

#include "pelplat/mfevents.h"

// {e93dcf6c-4b07-4e1e-8123-aa16ed6eadf5}
PELPLAT_GUID(IID_IMFMediaTypeHandler, 0xe93dcf6c, 0x4b07, 0x4e1e, 0x81, 0x23, 0xaa, 0x16, 0xed, 0x6e, 0xad, 0xf5);
// {56c03d9c-9dbb-45f5-ab4b-d80f47c05938}
PELPLAT_GUID(IID_IMFStreamDescriptor, 0x56c03d9c, 0x9dbb, 0x45f5, 0xab, 0x4b, 0xd8, 0x0f, 0x47, 0xc0, 0x59, 0x38);
// {03cb2711-24d7-4db6-a17f-f3a7a479a536}
PELPLAT_GUID(IID_IMFPresentationDescriptor, 0x03cb2711, 0x24d7, 0x4db6, 0xa1, 0x7f, 0xf3, 0xa7, 0xa4, 0x79, 0xa5, 0x36);
// {d182108f-4ec6-443f-aa42-a71106ec825f}
PELPLAT_GUID(IID_IMFMediaStream, 0xd182108f, 0x4ec6, 0x443f, 0xaa, 0x42, 0xa7, 0x11, 0x06, 0xec, 0x82, 0x5f);
// {279a808d-aec7-40c8-9c6b-a6b492c78a66}
PELPLAT_GUID(IID_IMFMediaSource, 0x279a808d, 0xaec7, 0x40c8, 0x9c, 0x6b, 0xa6, 0xb4, 0x92, 0xc7, 0x8a, 0x66);
// {8294da66-f328-4805-b551-00deb4c57a61}: the token of RequestSample on
// the sample that answers it.
PELPLAT_GUID(MFSampleExtension_Token, 0x8294da66, 0xf328, 0x4805, 0xb5, 0x51, 0x00, 0xde, 0xb4, 0xc5, 0x7a, 0x61);

// The media types a stream offers and the one chosen for it.
struct IMFMediaTypeHandler : IUnknown {
  // S_OK when a listed type has the same major type and subtype, else
  // MF_E_INVALIDMEDIATYPE; closest (may be null) is not filled in.
  virtual HRESULT IsMediaTypeSupported(IMFMediaType* type, IMFMediaType** closest) = 0;
  virtual HRESULT GetMediaTypeCount(DWORD* count) = 0;
  virtual HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) = 0;
  virtual HRESULT SetCurrentMediaType(IMFMediaType* type) = 0;
  // MF_E_NOT_INITIALIZED while none is set.
  virtual HRESULT GetCurrentMediaType(IMFMediaType** type) = 0;
  // The major type of the current type, else of the first listed one.
  virtual HRESULT GetMajorType(GUID* major) = 0;

 protected:
  ~IMFMediaTypeHandler() = default;
};

struct IMFStreamDescriptor : IMFAttributes {
  virtual HRESULT GetStreamIdentifier(DWORD* id) = 0;
  virtual HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) = 0;

 protected:
  ~IMFStreamDescriptor() = default;
};

// The streams of a presentation, each selected or not (all selected when
// made).
struct IMFPresentationDescriptor : IMFAttributes {
  virtual HRESULT GetStreamDescriptorCount(DWORD* count) = 0;
  virtual HRESULT GetStreamDescriptorByIndex(DWORD index, BOOL* selected,
                                             IMFStreamDescriptor** descriptor) = 0;
  virtual HRESULT SelectStream(DWORD index) = 0;
  virtual HRESULT DeselectStream(DWORD index) = 0;
  // A new descriptor with the same stream descriptors, selections and
  // attributes.
  virtual HRESULT Clone(IMFPresentationDescriptor** copy) = 0;

 protected:
  ~IMFPresentationDescriptor() = default;
};

// Declared with the media source and session.
struct IMFMediaSource;

struct IMFMediaStream : IMFMediaEventGenerator {
  virtual HRESULT GetMediaSource(IMFMediaSource** source) = 0;
  virtual HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) = 0;
  virtual HRESULT RequestSample(IUnknown* token) = 0;

 protected:
  ~IMFMediaStream() = default;
};

#define MFMEDIASOURCE_IS_LIVE 0x1u
#define MFMEDIASOURCE_CAN_SEEK 0x2u
#define MFMEDIASOURCE_CAN_PAUSE 0x4u

// A media source: its events (MENewStream, MEUpdatedStream,
// MESourceStarted, ...) on its own queue, its streams' on theirs.
struct IMFMediaSource : IMFMediaEventGenerator {
  virtual HRESULT GetCharacteristics(DWORD* characteristics) = 0;
  virtual HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) = 0;
  // timeFormat null or GUID_NULL; position VT_EMPTY or VT_I8.
  virtual HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                        const PROPVARIANT* position) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Shutdown() = 0;

 protected:
  ~IMFMediaSource() = default;
};

// The handler lists the given types (with references) and has no current
// type until SetCurrentMediaType.
HRESULT MFCreateStreamDescriptor(DWORD id, DWORD typeCount, IMFMediaType** types,
                                 IMFStreamDescriptor** descriptor);
HRESULT MFCreatePresentationDescriptor(DWORD count, IMFStreamDescriptor** descriptors,
                                       IMFPresentationDescriptor** presentation);
