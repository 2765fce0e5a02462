// The microphone over ALSA: the `file` PCM's input file is what the device
// records, so the data messages must carry exactly its bytes. Past the end
// of the file the plugin repeats old data; only the file's length counts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "AlsaFileRig.h"
#include "MicSupport.h"
#include "audio/MicDevice.h"
#include "pelplat/debugout.h"
#include "pelplat/wavebackend.h"

TEST(MicrophoneOverAlsa, DataMessagesCarryTheRecordedFile) {
  AlsaFileRig rig;
  pelplat::wave::SetAlsaDeviceNames("pellum_play", "pellum_capture");
  const std::vector<uint8_t> source = SineBytes(3 * 4096 + 500, 1, 350, 22050);
  rig.WriteCaptureSource(source);
  RecordingSink sink;
  {
    CMicDevice mic;
    mic.SetState(&sink, 3);
    ASSERT_TRUE(mic.Capturing());
    const size_t needed = (source.size() + 8191) / 8192;
    ASSERT_TRUE(sink.WaitForMessages(needed));
    mic.SetState(&sink, 0);
    EXPECT_FALSE(mic.IsOpen());
  }
  for (auto& m : sink.Messages()) {
    ASSERT_EQ(8200u, m.size());
    EXPECT_EQ(7, m[2]);
  }
  const std::vector<uint8_t> payload = sink.Payload();
  ASSERT_GE(payload.size(), source.size());
  EXPECT_TRUE(std::vector<uint8_t>(payload.begin(), payload.begin() + static_cast<long>(source.size())) == source);
  pelplat::wave::SetAlsaDeviceNames("", "");
}

TEST(MicrophoneOverAlsa, AMicrophoneThatCannotOpenSaysWhichDeviceAndWhyOnce) {
  AlsaFileRig rig;
  pelplat::wave::SetAlsaDeviceNames("pellum_play", "pellum_no_such_capture");
  std::vector<std::string> lines;
  const DebugOutputSink previous = SetDebugOutputSink([&](const std::string& line) { lines.push_back(line); });
  RecordingSink sink;
  {
    CMicDevice mic;
    for (int attempt = 0; attempt < 3; ++attempt) {
      mic.SetState(&sink, 3);
      EXPECT_FALSE(mic.IsOpen());
    }
  }
  SetDebugOutputSink(previous);
  pelplat::wave::SetAlsaDeviceNames("", "");
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("\"pellum_no_such_capture\"")) << lines[0];
  // ALSA's words for a PCM it does not know are the system's.
  EXPECT_NE(std::string::npos, lines[0].find(std::strerror(ENOENT))) << lines[0];
  EXPECT_EQ('\n', lines[0].back());
  EXPECT_TRUE(sink.Messages().empty());
}
