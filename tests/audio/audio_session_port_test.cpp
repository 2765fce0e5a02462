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
#include "qt/QtDoubleBufferSurfaceKeeper.h"
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

// What is drawn between Lock and Unlock reaches the window as one repaint of
// the damage clipped to the surface; a display without a surface locks
// nothing, and a lock without damage repaints nothing.
TEST(ClientSlotPort, UnlockRepaintsTheSurfacesDamageOnce) {
  clienttest::ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  ASSERT_EQ(rig.Init(), 0);
  CQtDoubleBufferSurfaceKeeper keeper;
  keeper.Create(64, 48, 24, 0);
  rig.api->SetSurface(1, &keeper);

  std::unique_ptr<ISlotSessionPort> port = MakeClientSlotPort(rig.client, kSlot);
  IDisplaySurfaces* surfaces = port->Surfaces();
  ASSERT_NE(surfaces, nullptr);
  EXPECT_EQ(surfaces->Lock(0), nullptr);
  EXPECT_EQ(surfaces->Lock(4), nullptr);

  ISurfaceKeeper* surface = surfaces->Lock(1);
  ASSERT_EQ(surface, &keeper);
  surface->AddDamage(4, 6, 8, 2);
  surface->AddDamage(60, 40, 10, 10);
  surfaces->Unlock(surface, 1);
  surface = surfaces->Lock(1);
  ASSERT_EQ(surface, &keeper);
  surfaces->Unlock(surface, 1);
  EXPECT_EQ(rig.api->Repaints(), (std::vector<std::vector<int>>{{4, 6, 60, 42, 1}}));

  rig.api->streamOverlayFlag.store(0);
  EXPECT_EQ(surfaces->VideoDrawing(), 0u);
  port->Cut();
  EXPECT_EQ(port->Surfaces(), nullptr);
  rig.api->SetSurface(1, nullptr);
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
