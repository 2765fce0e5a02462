// The Media Foundation transform interface and its records, as decoders and
// converters implement it.
#pragma once

#include "pelplat/mfobjects.h"

// {bf94c121-5b05-4e6f-8000-ba598961414d}
PELPLAT_GUID(IID_IMFTransform, 0xbf94c121, 0x5b05, 0x4e6f, 0x80, 0x00, 0xba, 0x59, 0x89, 0x61, 0x41, 0x4d);

enum MFT_MESSAGE_TYPE : DWORD {
  MFT_MESSAGE_COMMAND_FLUSH = 0,
  MFT_MESSAGE_COMMAND_DRAIN = 1,
  MFT_MESSAGE_SET_D3D_MANAGER = 2,
  MFT_MESSAGE_NOTIFY_BEGIN_STREAMING = 0x10000000,
  MFT_MESSAGE_NOTIFY_END_STREAMING = 0x10000001,
  MFT_MESSAGE_NOTIFY_END_OF_STREAM = 0x10000002,
  MFT_MESSAGE_NOTIFY_START_OF_STREAM = 0x10000003,
};

#define MFT_SET_TYPE_TEST_ONLY 0x1u

#define MFT_OUTPUT_STREAM_WHOLE_SAMPLES 0x1u
#define MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER 0x2u
#define MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE 0x4u
#define MFT_OUTPUT_STREAM_PROVIDES_SAMPLES 0x100u
#define MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES 0x200u

#define MFT_INPUT_STREAM_WHOLE_SAMPLES 0x1u

#define MFT_OUTPUT_DATA_BUFFER_INCOMPLETE 0x01000000u
#define MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE 0x100u
#define MFT_PROCESS_OUTPUT_STATUS_NEW_STREAMS 0x100u

struct MFT_INPUT_STREAM_INFO {
  LONGLONG hnsMaxLatency;
  DWORD dwFlags;
  DWORD cbSize;
  DWORD cbMaxLookahead;
  DWORD cbAlignment;
};

struct MFT_OUTPUT_STREAM_INFO {
  DWORD dwFlags;
  DWORD cbSize;
  DWORD cbAlignment;
};

struct MFT_OUTPUT_DATA_BUFFER {
  DWORD dwStreamID;
  IMFSample* pSample;
  DWORD dwStatus;
  IMFCollection* pEvents;
};

struct IMFTransform : IUnknown {
  virtual HRESULT GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum,
                                  DWORD* outputMaximum) = 0;
  virtual HRESULT GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) = 0;
  // E_NOTIMPL when the streams are numbered 0 upwards and fixed.
  virtual HRESULT GetStreamIDs(DWORD inputSize, DWORD* inputIds, DWORD outputSize, DWORD* outputIds) = 0;
  virtual HRESULT GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) = 0;
  virtual HRESULT GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) = 0;
  virtual HRESULT GetAttributes(IMFAttributes** attributes) = 0;
  virtual HRESULT GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) = 0;
  virtual HRESULT GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) = 0;
  virtual HRESULT SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) = 0;
  virtual HRESULT SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) = 0;
  virtual HRESULT GetInputCurrentType(DWORD stream, IMFMediaType** type) = 0;
  virtual HRESULT GetOutputCurrentType(DWORD stream, IMFMediaType** type) = 0;
  virtual HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) = 0;
  virtual HRESULT ProcessInput(DWORD stream, IMFSample* sample, DWORD flags) = 0;
  virtual HRESULT ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) = 0;

 protected:
  ~IMFTransform() = default;
};
