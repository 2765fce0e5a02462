#include <gtest/gtest.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <string>
#include <vector>

#include "mf/x264_clip.h"
#include "pelplat/mfbuiltins.h"
#include "pelplat/mfidl.h"
#include "pelplat/objbase.h"
#include "pelplat/wmcodecdsp.h"

namespace {

class MfModel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  }
  void TearDown() override {
    CoUninitialize();
    MFShutdown();
  }
};

IMFTransform* MakeDecoder() {
  IMFTransform* t = nullptr;
  CoCreateInstance(CLSID_CMSH264DecoderMFT, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, (void**)&t);
  return t;
}

IMFMediaType* VideoType(REFGUID subtype, UINT32 w, UINT32 h) {
  IMFMediaType* type = nullptr;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  MFSetAttributeSize(type, MF_MT_FRAME_SIZE, w, h);
  return type;
}

IMFSample* SampleOf(const std::vector<uint8_t>& bytes, DWORD capacity = 0) {
  IMFSample* sample = nullptr;
  IMFMediaBuffer* buffer = nullptr;
  MFCreateSample(&sample);
  MFCreateMemoryBuffer(capacity ? capacity : static_cast<DWORD>(bytes.size()), &buffer);
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), data);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
  sample->AddBuffer(buffer);
  buffer->Release();
  return sample;
}

std::vector<uint8_t> BytesOf(IMFSample* sample) {
  IMFMediaBuffer* buffer = nullptr;
  sample->GetBufferByIndex(0, &buffer);
  BYTE* data = nullptr;
  DWORD length = 0;
  buffer->Lock(&data, nullptr, &length);
  std::vector<uint8_t> bytes(data, data + length);
  buffer->Unlock();
  buffer->Release();
  return bytes;
}

// One output call; on a format change the new NV12 type is taken. Returns
// the result and appends a picture when one came.
HRESULT TakeOutput(IMFTransform* t, std::vector<std::vector<uint8_t>>* pictures, int* changes) {
  MFT_OUTPUT_STREAM_INFO info{};
  t->GetOutputStreamInfo(0, &info);
  IMFSample* out = SampleOf({}, info.cbSize);
  MFT_OUTPUT_DATA_BUFFER buffer{0, out, 0, nullptr};
  DWORD status = 0;
  HRESULT hr = t->ProcessOutput(0, 1, &buffer, &status);
  if (hr == S_OK) pictures->push_back(BytesOf(out));
  out->Release();
  if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
    ++*changes;
    IMFMediaType* type = nullptr;
    EXPECT_EQ(t->GetOutputAvailableType(0, 0, &type), S_OK);
    EXPECT_EQ(t->SetOutputType(0, type, 0), S_OK);
    type->Release();
    return TakeOutput(t, pictures, changes);
  }
  return hr;
}

TEST_F(MfModel, EnumerationFindsTheH264DecoderUntilItIsRemoved) {
  const MFT_REGISTER_TYPE_INFO h264{MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** list = nullptr;
  UINT32 count = 0;
  ASSERT_EQ(MFTEnumEx(MFT_CATEGORY_VIDEO_DECODER, 0x51, &h264, nullptr, &list, &count), S_OK);
  ASSERT_GE(count, 1u);
  IMFTransform* t = nullptr;
  EXPECT_EQ(list[0]->ActivateObject(IID_IMFTransform, (void**)&t), S_OK);
  ASSERT_NE(t, nullptr);
  t->Release();
  for (UINT32 i = 0; i < count; ++i) list[i]->Release();
  CoTaskMemFree(list);

  MFRemoveBuiltinTransforms(PELPLAT_MF_H264_DECODER);
  CLSID* ids = nullptr;
  MFT_REGISTER_TYPE_INFO in = h264;
  EXPECT_EQ(MFTEnum(MFT_CATEGORY_VIDEO_DECODER, 0, &in, nullptr, nullptr, &ids, &count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(MakeDecoder(), nullptr);
  MFRestoreBuiltinTransforms(PELPLAT_MF_H264_DECODER);
  EXPECT_EQ(MFTEnum(MFT_CATEGORY_VIDEO_DECODER, 0, &in, nullptr, nullptr, &ids, &count), S_OK);
  EXPECT_EQ(count, 1u);
  CoTaskMemFree(ids);
}

TEST_F(MfModel, DecoderGivesFfmpegsNv12AfterAStreamChangeOnTheFirstOutput) {
  X264Clip clip;
  ASSERT_TRUE(clip.Make(160, 96, 12));
  IMFTransform* t = MakeDecoder();
  ASSERT_NE(t, nullptr);
  IMFMediaType* input = VideoType(MFVideoFormat_H264, 160, 96);
  ASSERT_EQ(t->SetInputType(0, input, 0), S_OK);
  input->Release();
  IMFMediaType* output = nullptr;
  ASSERT_EQ(t->GetOutputAvailableType(0, 0, &output), S_OK);
  ASSERT_EQ(t->SetOutputType(0, output, 0), S_OK);
  output->Release();

  std::vector<std::vector<uint8_t>> pictures;
  int changes = 0;
  for (size_t i = 0; i < clip.accessUnits.size(); ++i) {
    // One output before each input.
    const HRESULT hr = TakeOutput(t, &pictures, &changes);
    EXPECT_TRUE(hr == S_OK || hr == MF_E_TRANSFORM_NEED_MORE_INPUT) << std::hex << hr;
    IMFSample* in = SampleOf(clip.accessUnits[i]);
    in->SetSampleTime(static_cast<LONGLONG>(i) * 400000);
    EXPECT_EQ(t->ProcessInput(0, in, 0), S_OK);
    in->Release();
  }
  ASSERT_EQ(t->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0), S_OK);
  while (TakeOutput(t, &pictures, &changes) == S_OK) {
  }
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(pictures.size(), clip.nv12Frames.size());
  for (size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(pictures[i] == clip.nv12Frames[i]) << "picture " << i;
  t->Release();
}

TEST_F(MfModel, ColourConverterIsWithinTwoStepsOfFfmpegsBgra) {
  X264Clip clip;
  ASSERT_TRUE(clip.Make(64, 48, 1));
  const std::string bgra = clip.dir + "/ref.bgra";
  // libswscale's own conversion of the decoded 4:2:0 picture.
  const std::string convert = "ffmpeg -nostdin -loglevel error -y -i " + clip.dir +
                              "/clip.h264 -sws_flags bilinear -pix_fmt bgra -f rawvideo " + bgra;
  ASSERT_EQ(std::system(convert.c_str()), 0);
  const std::vector<uint8_t> reference = X264Clip::ReadFile(bgra);
  ASSERT_EQ(reference.size(), 64u * 48 * 4);

  IMFTransform* t = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, (void**)&t),
            S_OK);
  IMFMediaType* in = VideoType(MFVideoFormat_NV12, 64, 48);
  IMFMediaType* out = VideoType(MFVideoFormat_RGB32, 64, 48);
  ASSERT_EQ(t->SetInputType(0, in, 0), S_OK);
  ASSERT_EQ(t->SetOutputType(0, out, 0), S_OK);
  in->Release();
  out->Release();
  // A picture shorter than the frame size is refused.
  IMFSample* shortSample = SampleOf(std::vector<uint8_t>(64 * 48));
  EXPECT_EQ(t->ProcessInput(0, shortSample, 0), E_INVALIDARG);
  shortSample->Release();
  IMFSample* sample = SampleOf(clip.nv12Frames[0]);
  ASSERT_EQ(t->ProcessInput(0, sample, 0), S_OK);
  EXPECT_EQ(t->ProcessInput(0, sample, 0), MF_E_NOTACCEPTING);
  sample->Release();
  std::vector<std::vector<uint8_t>> pictures;
  int changes = 0;
  ASSERT_EQ(TakeOutput(t, &pictures, &changes), S_OK);
  EXPECT_EQ(TakeOutput(t, &pictures, &changes), MF_E_TRANSFORM_NEED_MORE_INPUT);
  ASSERT_EQ(pictures.size(), 1u);
  ASSERT_EQ(pictures[0].size(), reference.size());
  int worst = 0;
  for (size_t i = 0; i < reference.size(); ++i) worst = std::max(worst, std::abs(pictures[0][i] - reference[i]));
  EXPECT_LE(worst, 2);
  t->Release();
}

// Byte for byte libswscale's own bilinear 4:2:0 to BGRA conversion of the
// NV12 frame's planes, split here with a plain loop; a chroma row of 20
// samples also takes the converter's last pairs one by one.
TEST_F(MfModel, ColourConverterGivesLibswscalesPictureOfTheNv12Planes) {
  for (const auto& size : {std::pair<int, int>{160, 96}, std::pair<int, int>{40, 24}}) {
    const int w = size.first, h = size.second;
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    X264Clip clip;
    ASSERT_TRUE(clip.Make(w, h, 1));
    const std::vector<uint8_t>& nv12 = clip.nv12Frames[0];
    const size_t luma = size_t(w) * h, chroma = luma / 4;
    std::vector<uint8_t> u(chroma), v(chroma);
    for (size_t i = 0; i < chroma; ++i) {
      u[i] = nv12[luma + 2 * i];
      v[i] = nv12[luma + 2 * i + 1];
    }
    std::vector<uint8_t> want(luma * 4);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    const uint8_t* planes[4] = {nv12.data(), u.data(), v.data(), nullptr};
    const int strides[4] = {w, w / 2, w / 2, 0};
    uint8_t* out[4] = {want.data(), nullptr, nullptr, nullptr};
    const int outStrides[4] = {4 * w, 0, 0, 0};
    ASSERT_EQ(sws_scale(sws, planes, strides, 0, h, out, outStrides), h);
    sws_freeContext(sws);

    IMFTransform* t = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, (void**)&t),
              S_OK);
    IMFMediaType* in = VideoType(MFVideoFormat_NV12, w, h);
    IMFMediaType* rgb = VideoType(MFVideoFormat_RGB32, w, h);
    ASSERT_EQ(t->SetInputType(0, in, 0), S_OK);
    ASSERT_EQ(t->SetOutputType(0, rgb, 0), S_OK);
    in->Release();
    rgb->Release();
    IMFSample* sample = SampleOf(nv12);
    ASSERT_EQ(t->ProcessInput(0, sample, 0), S_OK);
    sample->Release();
    std::vector<std::vector<uint8_t>> pictures;
    int changes = 0;
    ASSERT_EQ(TakeOutput(t, &pictures, &changes), S_OK);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_TRUE(pictures[0] == want);
    t->Release();
  }
}

TEST_F(MfModel, ConverterRefusesOddWidthsAndDecoderAnswersTypeNotSetBeforeItsTypes) {
  IMFTransform* t = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_CColorConvertDMO, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform, (void**)&t),
            S_OK);
  IMFMediaType* odd = VideoType(MFVideoFormat_NV12, 63, 48);
  EXPECT_EQ(t->SetInputType(0, odd, 0), MF_E_INVALIDMEDIATYPE);
  odd->Release();
  t->Release();
  IMFTransform* d = MakeDecoder();
  ASSERT_NE(d, nullptr);
  IMFMediaType* type = nullptr;
  EXPECT_EQ(d->GetOutputAvailableType(0, 0, &type), MF_E_TRANSFORM_TYPE_NOT_SET);
  DWORD ids[1];
  EXPECT_EQ(d->GetStreamIDs(1, ids, 1, ids), E_NOTIMPL);
  d->Release();
}

}  // namespace
