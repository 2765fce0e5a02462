// The audio renderer through ALSA: the `file` PCM over `null` records what
// the renderer played, compared byte for byte (levels applied); a renderer
// made silent records nothing and still takes every sample.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <vector>

#include "pelplat/wavebackend.h"
#include "platform/audio/AlsaFileRig.h"
#include "renderer_support.h"

namespace {

using namespace renderer_test;

class AudioRendererAlsa : public RendererFixture {
 protected:
  // One rig for the process: it must come before the first ALSA call.
  static void SetUpTestSuite() {
    rig_ = new AlsaFileRig;
    pelplat::wave::SetAlsaDeviceNames("pellum_play", "pellum_capture");
  }
  static void TearDownTestSuite() {
    pelplat::wave::SetAlsaDeviceNames("", "");
    delete rig_;
    rig_ = nullptr;
  }
  void SetUp() override {
    unlink(rig_->PlaybackFile().c_str());
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
  }
  void TearDown() override {
    Close();
    MFShutdown();
  }
  // The renderer of the activation object, taking 44.1 kHz 16-bit stereo,
  // its clock running.
  void OpenStereo(IMFActivate* activate) {
    ASSERT_NO_FATAL_FAILURE(Open(activate));
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, 44100);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    ASSERT_NO_FATAL_FAILURE(SetCurrentType(type));
    ASSERT_EQ(clock_->Start(0), S_OK);
  }
  // Everything before the end marker has played.
  void EndAndWait() {
    ASSERT_EQ(stream_->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, nullptr, nullptr), S_OK);
    ASSERT_TRUE(events_->WaitFor(MEStreamSinkMarker, 1));
    EXPECT_EQ(events_->Of(MEStreamSinkMarker)[0].status, S_OK);
  }

  static AlsaFileRig* rig_;
};

AlsaFileRig* AudioRendererAlsa::rig_ = nullptr;

TEST_F(AudioRendererAlsa, WhatThePcmFileRecordsIsTheSamplesAtTheirLevels) {
  IMFActivate* activate = nullptr;
  ASSERT_EQ(MFCreateAudioRendererActivate(&activate), S_OK);
  ASSERT_NO_FATAL_FAILURE(OpenStereo(activate));
  const std::vector<uint8_t> loud = SineBytes(4410, 2, 440, 44100);
  Feed(loud, 0);
  IMFAudioStreamVolume* volume = nullptr;
  ASSERT_EQ(MFGetService(sink_, MR_STREAM_VOLUME_SERVICE, IID_IMFAudioStreamVolume, reinterpret_cast<void**>(&volume)),
            S_OK);
  const float half[2] = {0.5f, 0.5f};
  ASSERT_EQ(volume->SetAllVolumes(2, half), S_OK);
  volume->Release();
  Feed(loud, 1000000);
  ASSERT_NO_FATAL_FAILURE(EndAndWait());

  Close();  // closes the device: the file is complete
  std::vector<uint8_t> expected = loud;
  for (size_t i = 0; i < loud.size(); i += 2) {
    const int16_t s = static_cast<int16_t>(loud[i] | (loud[i + 1] << 8));
    const int16_t h = static_cast<int16_t>(std::lround(s * 0.5));
    expected.push_back(static_cast<uint8_t>(h));
    expected.push_back(static_cast<uint8_t>(static_cast<uint16_t>(h) >> 8));
  }
  EXPECT_EQ(rig_->Played(), expected);
}

// A session whose sound is off: the renderer never opens the device, so the
// PCM records nothing, yet every sample counts as played and the end marker
// comes back, so that the presentation goes on.
TEST_F(AudioRendererAlsa, ASilentRendererOpensNoDeviceYetTakesEverySample) {
  IMFActivate* activate = nullptr;
  ASSERT_EQ(MFCreateAudioRendererActivate(&activate), S_OK);
  ASSERT_EQ(activate->SetUINT32(PELPLAT_MF_AUDIO_RENDERER_SILENT, TRUE), S_OK);
  ASSERT_NO_FATAL_FAILURE(OpenStereo(activate));
  const std::vector<uint8_t> loud = SineBytes(4410, 2, 440, 44100);
  Feed(loud, 0);
  Feed(loud, 1000000);
  ASSERT_NO_FATAL_FAILURE(EndAndWait());
  EXPECT_EQ(Stats().rendered, 2u);
  Close();
  EXPECT_NE(access(rig_->PlaybackFile().c_str(), F_OK), 0) << "the PCM was opened";
  EXPECT_TRUE(rig_->Played().empty());
}

}  // namespace
