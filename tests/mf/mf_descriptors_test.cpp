// Stream and presentation descriptors with their media type handlers.
#include <gtest/gtest.h>

#include "pelplat/mfidl.h"

namespace {

IMFMediaType* Type(REFGUID major, REFGUID subtype) {
  IMFMediaType* t = nullptr;
  MFCreateMediaType(&t);
  t->SetGUID(MF_MT_MAJOR_TYPE, major);
  t->SetGUID(MF_MT_SUBTYPE, subtype);
  return t;
}

TEST(MfDescriptors, HandlerListsTypesAndKeepsTheCurrentOne) {
  IMFMediaType* h264 = Type(MFMediaType_Video, MFVideoFormat_H264);
  IMFMediaType* nv12 = Type(MFMediaType_Video, MFVideoFormat_NV12);
  IMFStreamDescriptor* sd = nullptr;
  ASSERT_EQ(MFCreateStreamDescriptor(7, 1, &h264, &sd), S_OK);
  DWORD id = 0, count = 0;
  sd->GetStreamIdentifier(&id);
  EXPECT_EQ(id, 7u);
  IMFMediaTypeHandler* h = nullptr;
  ASSERT_EQ(sd->GetMediaTypeHandler(&h), S_OK);
  h->GetMediaTypeCount(&count);
  EXPECT_EQ(count, 1u);
  IMFMediaType* got = nullptr;
  EXPECT_EQ(h->GetMediaTypeByIndex(1, &got), MF_E_NO_MORE_TYPES);
  ASSERT_EQ(h->GetMediaTypeByIndex(0, &got), S_OK);
  EXPECT_EQ(got, h264);
  got->Release();
  EXPECT_EQ(h->IsMediaTypeSupported(h264, nullptr), S_OK);
  EXPECT_EQ(h->IsMediaTypeSupported(nv12, nullptr), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(h->GetCurrentMediaType(&got), MF_E_NOT_INITIALIZED);
  GUID major{};
  ASSERT_EQ(h->GetMajorType(&major), S_OK);
  EXPECT_EQ(major, MFMediaType_Video);
  ASSERT_EQ(h->SetCurrentMediaType(h264), S_OK);
  ASSERT_EQ(h->GetCurrentMediaType(&got), S_OK);
  EXPECT_EQ(got, h264);
  got->Release();
  h->Release();
  sd->Release();
  EXPECT_EQ(h264->Release(), 0u);  // the handler let go of both its references
  nv12->Release();
}

TEST(MfDescriptors, PresentationSelectsAndClones) {
  IMFMediaType* video = Type(MFMediaType_Video, MFVideoFormat_H264);
  IMFMediaType* audio = Type(MFMediaType_Audio, GUID_NULL);
  IMFStreamDescriptor* sds[2] = {};
  MFCreateStreamDescriptor(1, 1, &video, &sds[0]);
  MFCreateStreamDescriptor(2, 1, &audio, &sds[1]);
  IMFPresentationDescriptor* pd = nullptr;
  ASSERT_EQ(MFCreatePresentationDescriptor(2, sds, &pd), S_OK);
  DWORD count = 0;
  pd->GetStreamDescriptorCount(&count);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(pd->DeselectStream(1), S_OK);
  EXPECT_EQ(pd->SelectStream(2), E_INVALIDARG);
  pd->SetUINT32(MF_MT_DEFAULT_STRIDE, 5);
  IMFPresentationDescriptor* copy = nullptr;
  ASSERT_EQ(pd->Clone(&copy), S_OK);
  pd->SelectStream(1);  // the copy keeps its own selections
  const BOOL expected[2] = {TRUE, FALSE};
  for (DWORD i = 0; i < 2; ++i) {
    BOOL selected = FALSE;
    IMFStreamDescriptor* sd = nullptr;
    ASSERT_EQ(copy->GetStreamDescriptorByIndex(i, &selected, &sd), S_OK);
    EXPECT_EQ(selected, expected[i]);
    EXPECT_EQ(sd, sds[i]);
    sd->Release();
  }
  UINT32 stride = 0;
  EXPECT_EQ(copy->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride), S_OK);
  EXPECT_EQ(stride, 5u);
  copy->Release();
  pd->Release();
  for (IMFStreamDescriptor* sd : sds) EXPECT_EQ(sd->Release(), 0u);
  video->Release();
  audio->Release();
}


// A sample's time and duration are each unknown until set: a decoder that
// knows only how long its output lasts does not make it claim time 0.
TEST(MfSample, TimeAndDurationAreKnownApart) {
  IMFSample* sample = nullptr;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  LONGLONG value = 7;
  EXPECT_EQ(sample->GetSampleTime(&value), MF_E_NO_SAMPLE_TIMESTAMP);
  EXPECT_EQ(sample->GetSampleDuration(&value), MF_E_NO_SAMPLE_DURATION);
  ASSERT_EQ(sample->SetSampleDuration(400000), S_OK);
  EXPECT_EQ(sample->GetSampleTime(&value), MF_E_NO_SAMPLE_TIMESTAMP);
  ASSERT_EQ(sample->GetSampleDuration(&value), S_OK);
  EXPECT_EQ(value, 400000);
  ASSERT_EQ(sample->SetSampleTime(0), S_OK);
  ASSERT_EQ(sample->GetSampleTime(&value), S_OK);
  EXPECT_EQ(value, 0);
  sample->Release();

  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  ASSERT_EQ(sample->SetSampleTime(1234), S_OK);
  EXPECT_EQ(sample->GetSampleDuration(&value), MF_E_NO_SAMPLE_DURATION);
  sample->Release();
}

}  // namespace
