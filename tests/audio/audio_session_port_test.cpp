// A slot processor's port over a real session client: it sends on the slot
// it was made for, finds the system API's audio clock and the connection
// parameters, and answers as "no connection" once cut. The maker gives the
// session core an audio processor that takes the profile's thread priority
// at attach.
#include <gtest/gtest.h>

#include <memory>

#include "ClientDoubles.h"
#include "audio/AudioSlotDataProcessor.h"
#include "audio/AudioProcessorMaker.h"
#include "session/ClientSlotPort.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"

namespace {

constexpr uint16_t kSlot = 2;

TEST(ClientSlotPort, AnswersForTheClientUntilCut) {
  clienttest::ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  ASSERT_EQ(rig.Init(), 0);

  std::unique_ptr<ISlotSessionPort> port = MakeClientSlotPort(rig.client, kSlot);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->AudioClock(), &rig.api->audioClock);
  EXPECT_EQ(port->Parameters(), rig.client->Parameters());
  EXPECT_NE(port->Parameters(), nullptr);
  const uint8_t report[] = {1, 2, 3, 4};  // not 3 bytes: a count of 3 reads as "no connection"
  EXPECT_EQ(port->SendOnSlot(report, sizeof report).status, kStatusNoConnection);  // never connected

  port->Cut();
  EXPECT_EQ(port->AudioClock(), nullptr);
  EXPECT_EQ(port->Parameters(), nullptr);
  EXPECT_EQ(port->SendOnSlot(report, sizeof report).status, kStatusNoConnection);
  EXPECT_EQ(port->SendClientEvent(1, report, sizeof report), -1);
}

TEST(AudioProcessorMaker, GivesAnAudioProcessorThatTakesTheProfilesPriority) {
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
