// The audio slot's port over a real session client: it sends on the slot the
// processor is attached at, finds the system API's audio clock and the
// connection parameters' thread priority, and answers as "no connection"
// once detached. The maker gives the session core an audio processor that
// takes that priority at attach.
#include <gtest/gtest.h>

#include <memory>

#include "ClientDoubles.h"
#include "audio/AudioSlotDataProcessor.h"
#include "audio/ClientAudioPort.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"

namespace {

constexpr uint16_t kSlot = 2;

TEST(ClientAudioPort, AnswersForTheAttachedClientAndNothingOnceDetached) {
  clienttest::ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  rig.params.audioThreadPriority = 2;
  ASSERT_EQ(rig.Init(), 0);

  ClientAudioPort port;
  EXPECT_FALSE(port.Attached());
  port.OnAttach(kSlot, rig.client);
  EXPECT_TRUE(port.Attached());
  EXPECT_EQ(port.ClockRecord(), &rig.api->audioClock);
  int priority = -1;
  ASSERT_TRUE(port.ThreadPriority(&priority));
  EXPECT_EQ(priority, 2);
  const uint8_t report[] = {1, 2, 3, 4};  // not 3 bytes: a count of 3 reads as "no connection"
  EXPECT_EQ(port.SendOnSlot(report, sizeof report).status, kStatusNoConnection);  // never connected

  port.OnAttach(CSlotDataProcessor::kDetached, nullptr);
  EXPECT_FALSE(port.Attached());
  EXPECT_EQ(port.ClockRecord(), nullptr);
  EXPECT_FALSE(port.ThreadPriority(&priority));
  EXPECT_EQ(port.SendOnSlot(report, sizeof report).status, kStatusNoConnection);
}

TEST(ClientAudioPort, TheMakerGivesAnAudioProcessorThatTakesTheProfilesPriority) {
  SlotProcessorMaker before = RegisterSlotProcessorMaker(slotname::kAudio, nullptr);
  RegisterAudioProcessorMaker();
  SlotProcessorMaker maker = FindSlotProcessorMaker(slotname::kAudio);
  ASSERT_NE(maker, nullptr);

  clienttest::ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  rig.params.audioThreadPriority = 1;
  ASSERT_EQ(rig.Init(), 0);
  std::unique_ptr<CSlotDataProcessor> made(maker(SlotProcessorContext{rig.client, &rig.params, 0, kSlot}));
  auto* processor = dynamic_cast<CAudioSlotDataProcessor*>(made.get());
  ASSERT_NE(processor, nullptr);
  processor->Attach(kSlot, rig.client);
  EXPECT_EQ(processor->Slot(), kSlot);
  EXPECT_EQ(processor->DispatchPriority(), 1);
  processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  made.reset();
  RegisterSlotProcessorMaker(slotname::kAudio, before);
}

}  // namespace
