// The audio renderer through ALSA: the `file` PCM over `null` records what
// the renderer played, compared byte for byte (levels applied).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pelplat/wavebackend.h"
#include "platform/audio/AlsaFileRig.h"
#include "renderer_support.h"

namespace {

using namespace renderer_test;

TEST(AudioRendererAlsa, WhatThePcmFileRecordsIsTheSamplesAtTheirLevels) {
  AlsaFileRig rig;  // before the process's first ALSA call
  pelplat::wave::SetAlsaDeviceNames("pellum_play", "pellum_capture");
  ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  IMFActivate* activate = nullptr;
  IMFMediaSink* sink = nullptr;
  IMFStreamSink* stream = nullptr;
  ASSERT_EQ(MFCreateAudioRendererActivate(&activate), S_OK);
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaSink, reinterpret_cast<void**>(&sink)), S_OK);
  ASSERT_EQ(sink->GetStreamSinkById(0, &stream), S_OK);
  EventCollector* events = new EventCollector(stream);
  events->Begin();
  DrivenClock* clock = new DrivenClock;
  ASSERT_EQ(sink->SetPresentationClock(clock), S_OK);

  IMFMediaType* type = nullptr;
  ASSERT_EQ(MFCreateMediaType(&type), S_OK);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  IMFMediaTypeHandler* handler = nullptr;
  ASSERT_EQ(stream->GetMediaTypeHandler(&handler), S_OK);
  ASSERT_EQ(handler->SetCurrentMediaType(type), S_OK);
  handler->Release();
  type->Release();
  ASSERT_EQ(clock->Start(0), S_OK);

  const std::vector<uint8_t> loud = SineBytes(4410, 2, 440, 44100);
  IMFSample* first = MakeSample(loud, 0);
  ASSERT_EQ(stream->ProcessSample(first), S_OK);
  first->Release();
  IMFAudioStreamVolume* volume = nullptr;
  ASSERT_EQ(MFGetService(sink, MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume, reinterpret_cast<void**>(&volume)),
            S_OK);
  const float half[2] = {0.5f, 0.5f};
  ASSERT_EQ(volume->SetAllVolumes(2, half), S_OK);
  volume->Release();
  IMFSample* second = MakeSample(loud, 1000000);
  ASSERT_EQ(stream->ProcessSample(second), S_OK);
  second->Release();
  ASSERT_EQ(stream->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, nullptr), S_OK);
  ASSERT_TRUE(events->WaitFor(MEStreamSinkMarker, 1));
  EXPECT_EQ(events->Of(MEStreamSinkMarker)[0].status, S_OK);

  ASSERT_EQ(activate->ShutdownObject(), S_OK);  // closes the device: the file is complete
  std::vector<uint8_t> expected = loud;
  for (size_t i = 0; i < loud.size(); i += 2) {
    const int16_t s = static_cast<int16_t>(loud[i] | (loud[i + 1] << 8));
    const int16_t h = static_cast<int16_t>(std::lround(s * 0.5));
    expected.push_back(static_cast<uint8_t>(h));
    expected.push_back(static_cast<uint8_t>(static_cast<uint16_t>(h) >> 8));
  }
  EXPECT_EQ(rig.Played(), expected);

  events->Release();
  stream->Release();
  sink->Release();
  activate->Release();
  clock->Release();
  MFShutdown();
  pelplat::wave::SetAlsaDeviceNames("", "");
}

}  // namespace
