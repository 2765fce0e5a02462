// The keyboard and pointer slot against a client that records what it is
// given: key frames in scan-code set 2, the lock-key sync and the LED
// reports, the modifier-dependent sequences, pointer frames, the pacing of
// pointer moves by the sender thread and the sender's lifetime. Run under
// ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "RecordingClient.h"
#include "input/VirtHidSlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"

namespace {

using Bytes = std::vector<uint8_t>;
using inputtest::RecordingClient;
using inputtest::SentFrame;

constexpr uint16_t kSlot = 5;
constexpr int32_t kMove = 1;

// A processor attached to a recording client, released the way the session
// releases them.
struct Rig {
  Rig() {
    client->UseParameters(&params);
    processor = new CVirtHidSlotDataProcessor;
    processor->Attach(kSlot, client);
  }
  ~Rig() {
    delete processor;
    client->Release();
  }
  int Key(int32_t code, int32_t lockBits = 0) {
    const int32_t record[2] = {code, lockBits};
    return processor->OnClientData(record, sizeof record);
  }
  void Pointer(int32_t buttons, int32_t x, int32_t y, int32_t move, int32_t display = 0, int32_t xOffset = 0,
               int32_t yOffset = 0) {
    const int32_t record[7] = {buttons, x, y, move, yOffset, xOffset, display};
    processor->OnClientData(record, sizeof record);
  }
  int Led(uint32_t kind, uint32_t size, uint32_t flags, uint32_t leds) {
    const uint32_t words[4] = {kind, size, flags, leds};
    return processor->OnData(reinterpret_cast<const uint8_t*>(words), sizeof words);
  }
  std::vector<Bytes> Sent() { return client->Bytes(); }
  // The sender thread takes a move to (1, 1) and stays inside the send
  // until the client's gate opens.
  bool HoldSenderInSend() {
    client->Close();
    Pointer(0, 1, 1, kMove);
    return client->WaitHeld();
  }
  // The processor goes the way the session lets it go; nothing is sent
  // after.
  void DeleteProcessor() {
    delete processor;
    processor = nullptr;
  }

  CClientConnectionParameter params;
  RecordingClient* client = new RecordingClient;
  CVirtHidSlotDataProcessor* processor = nullptr;
};

// A key frame around set-2 code bytes.
Bytes KeyFrame(const Bytes& codes) {
  Bytes frame = {static_cast<uint8_t>(codes.size() + 2), 0, 2, 0};
  frame.insert(frame.end(), codes.begin(), codes.end());
  return frame;
}

// A pointer frame with display index 0.
Bytes PointerFrame(uint32_t buttons, uint16_t x, uint16_t y) {
  return {10,
          0,
          3,
          0,
          static_cast<uint8_t>(buttons),
          static_cast<uint8_t>(buttons >> 8),
          static_cast<uint8_t>(buttons >> 16),
          static_cast<uint8_t>(buttons >> 24),
          static_cast<uint8_t>(x),
          static_cast<uint8_t>(x >> 8),
          static_cast<uint8_t>(y),
          static_cast<uint8_t>(y >> 8)};
}

// ---------------------------------------------------------------- key frames

TEST(VirtHidKeys, FramesOfPlainKeysByteForByte) {
  Rig rig;
  EXPECT_EQ(rig.Key(0x1E), 0);
  EXPECT_EQ(rig.Key(0x9E), 0);
  EXPECT_EQ(rig.Key(0x11D), 0);  // right Ctrl
  const std::vector<Bytes> expected = {
      {0x03, 0x00, 0x02, 0x00, 0x1C},
      {0x04, 0x00, 0x02, 0x00, 0xF0, 0x1C},
      {0x04, 0x00, 0x02, 0x00, 0xE0, 0x14},
  };
  EXPECT_EQ(rig.Sent(), expected);
  for (const SentFrame& f : rig.client->Frames()) EXPECT_EQ(f.slot, kSlot);
}

// Make and break of keys of a PC keyboard, in the set-2 codes its keyboard
// controller has always sent for them.
TEST(VirtHidKeys, SetOneCodesBecomeTheirSetTwoCodes) {
  struct Case {
    int32_t set1;
    uint8_t set2;
  };
  const Case cases[] = {
      {0x01, 0x76},  {0x02, 0x16},  {0x0B, 0x45},  {0x0E, 0x66},  {0x0F, 0x0D},  {0x10, 0x15},  {0x1C, 0x5A},
      {0x1D, 0x14},  {0x29, 0x0E},  {0x2A, 0x12},  {0x2B, 0x5D},  {0x2C, 0x1A},  {0x35, 0x4A},  {0x36, 0x59},
      {0x37, 0x7C},  {0x38, 0x11},  {0x39, 0x29},  {0x3B, 0x05},  {0x3C, 0x06},  {0x3D, 0x04},  {0x3E, 0x0C},
      {0x3F, 0x03},  {0x40, 0x0B},  {0x42, 0x0A},  {0x43, 0x01},  {0x44, 0x09},  {0x47, 0x6C},  {0x4A, 0x7B},
      {0x4C, 0x73},  {0x4E, 0x79},  {0x52, 0x70},  {0x53, 0x71},  {0x56, 0x61},  {0x57, 0x78},  {0x58, 0x07},
      {0x70, 0x13},  {0x73, 0x51},  {0x79, 0x64},  {0x7B, 0x67},  {0x7D, 0x6A},  {0x7E, 0x6D},  {0x11C, 0x5A},
      {0x138, 0x11}, {0x148, 0x75}, {0x14B, 0x6B}, {0x153, 0x71}, {0x15B, 0x1F}, {0x15C, 0x27}, {0x15D, 0x2F},
  };
  Rig rig;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.set1);
    rig.client->Clear();
    rig.Key(c.set1);
    rig.Key(c.set1 | 0x80);
    const Bytes prefix = (c.set1 & 0x100) ? Bytes{0xE0} : Bytes{};
    Bytes make = prefix, release = prefix;
    make.push_back(c.set2);
    release.push_back(0xF0);
    release.push_back(c.set2);
    EXPECT_EQ(rig.Sent(), (std::vector<Bytes>{KeyFrame(make), KeyFrame(release)}));
  }
}

// What building set 1 → set 2 from the set 2 → set 1 table leaves: where two
// set-2 codes name one set-1 code the later one stands (F7 and Alt+Print
// Screen go out as 0x83 and 0x84, not 0x02 and 0x7F); a set-1 code without
// a set-2 code goes out as 00; a code whose low seven bits are 0 sends
// nothing; bits above the E0 flag do not count.
TEST(VirtHidKeys, QuirksOfTheInverseTable) {
  struct Case {
    int32_t code;
    std::vector<Bytes> sent;
  };
  const Case cases[] = {
      {0x41, {KeyFrame({0x83})}},
      {0xC1, {KeyFrame({0xF0, 0x83})}},
      {0x54, {KeyFrame({0x84})}},
      {0x55, {KeyFrame({0x00})}},
      {0x7F, {KeyFrame({0x00})}},
      {0x15E, {KeyFrame({0xE0, 0x00})}},
      {0x00, {}},
      {0x80, {}},
      {0x100, {}},
      {0x180, {}},
      {0x21E, {KeyFrame({0x1C})}},
  };
  Rig rig;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    rig.client->Clear();
    EXPECT_EQ(rig.Key(c.code), 0);
    EXPECT_EQ(rig.Sent(), c.sent);
  }
}

// The sequences that depend on the Shift and Ctrl keys held: keypad slash,
// Print Screen and Pause. The modifiers are pressed through the processor
// itself; their own frames are not part of the case.
TEST(VirtHidKeys, ModifierDependentSequences) {
  constexpr int32_t kLS = 0x2A, kRS = 0x36, kLC = 0x1D, kRC = 0x11D;
  struct Case {
    std::vector<int32_t> held;
    int32_t code;
    Bytes frame;
  };
  const Case cases[] = {
      {{}, 0x135, {0x04, 0x00, 0x02, 0x00, 0xE0, 0x4A}},
      {{kLS}, 0x135, {0x08, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x12, 0xE0, 0x4A, 0x00}},
      {{kRS}, 0x135, {0x08, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x59, 0xE0, 0x4A, 0x00}},
      {{kLS, kRS}, 0x135, {0x0B, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x12, 0xE0, 0xF0, 0x59, 0xE0, 0x4A, 0x00}},
      {{kLS, kLC}, 0x135, {0x08, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x12, 0xE0, 0x4A, 0x00}},
      {{}, 0x1B5, {0x05, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x4A}},
      {{kLS}, 0x1B5, {0x08, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x4A, 0xE0, 0x12, 0x00}},
      {{kRS}, 0x1B5, {0x08, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x4A, 0xE0, 0x59, 0x00}},
      {{kLS, kRS}, 0x1B5, {0x0A, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x4A, 0xE0, 0x59, 0xE0, 0x12, 0x00}},
      {{}, 0x137, {0x07, 0x00, 0x02, 0x00, 0xE0, 0x12, 0xE0, 0x7C, 0x00}},
      {{kLS}, 0x137, {0x07, 0x00, 0x02, 0x00, 0xE0, 0x12, 0xE0, 0x7C, 0x00}},
      {{kRC}, 0x137, {0x07, 0x00, 0x02, 0x00, 0xE0, 0x12, 0xE0, 0x7C, 0x00}},
      {{kLS, kLC}, 0x137, {0x04, 0x00, 0x02, 0x00, 0xE0, 0x7C}},
      {{}, 0x1B7, {0x09, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x7C, 0xE0, 0xF0, 0x12, 0x00}},
      {{kRS, kRC}, 0x1B7, {0x05, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x7C}},
      {{}, 0x145, {0x0B, 0x00, 0x02, 0x00, 0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77, 0x00}},
      {{kLS, kRC}, 0x145, {0x0B, 0x00, 0x02, 0x00, 0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77, 0x00}},
      {{}, 0x1C5, {0x05, 0x00, 0x02, 0x00, 0xE0, 0xF0, 0x77}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code << " with " << c.held.size() << " modifiers");
    Rig rig;
    for (int32_t m : c.held) rig.Key(m);
    rig.client->Clear();
    EXPECT_EQ(rig.Key(c.code), 0);
    EXPECT_EQ(rig.Sent(), (std::vector<Bytes>{c.frame}));
  }
}

// Releases clear what presses set; losing activation or the client clears
// them all, since the window never sees those releases.
TEST(VirtHidKeys, ModifiersAreClearedByReleaseActivationAndDetach) {
  const Bytes plainSlash = {0x04, 0x00, 0x02, 0x00, 0xE0, 0x4A};
  struct Case {
    const char* name;
    void (*clear)(Rig&);
  };
  const Case cases[] = {
      {"release", [](Rig& r) { r.Key(0xAA); }},
      {"deactivation", [](Rig& r) { r.processor->OnActivate(0); }},
      {"detach", [](Rig& r) {
         r.processor->Attach(CSlotDataProcessor::kDetached, nullptr);
         r.processor->Attach(kSlot, r.client);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Key(0x2A);
    rig.processor->OnActivate(1);  // activation keeps them
    rig.client->Clear();
    rig.Key(0x135);
    EXPECT_EQ(rig.Sent().back().size(), 10u);
    c.clear(rig);
    rig.client->Clear();
    rig.Key(0x135);
    EXPECT_EQ(rig.Sent(), (std::vector<Bytes>{plainSlash}));
  }
}

// ---------------------------------------------------------------- lock keys

TEST(VirtHidLocks, LocalLockKeysAreSyncedAndTheKeysThemselvesSwallowed) {
  const Bytes capsMake = KeyFrame({0x58}), capsBreak = KeyFrame({0xF0, 0x58});
  const Bytes scrollMake = KeyFrame({0x7E}), scrollBreak = KeyFrame({0xF0, 0x7E});
  const Bytes numMake = KeyFrame({0x77}), numBreak = KeyFrame({0xF0, 0x77});
  const Bytes a = KeyFrame({0x1C});
  struct Step {
    int32_t code;
    int32_t bits;
    int result;
    std::vector<Bytes> sent;
  };
  const std::vector<Step> steps = {
      {0x3A, 4, 7, {capsMake, capsBreak}},                                      // Caps Lock turned on
      {0xBA, 4, 7, {}},                                                         // ... and released
      {0x1E, 4, 0, {a}},                                                        // in step: the key only
      {0x1E, 7, 0, {scrollMake, scrollBreak, numMake, numBreak, a}},            // changed outside the window
      {0x1E, 0, 0, {capsMake, capsBreak, scrollMake, scrollBreak, numMake, numBreak, a}},  // Caps, Scroll, Num
      {0x45, 2, 7, {numMake, numBreak}},
      {0xC5, 2, 7, {}},
      {0x46, 3, 7, {scrollMake, scrollBreak}},
      {0xC6, 3, 7, {}},
      {0x1E, 3 | 0x70, 0, {a}},                                                 // other bits are not lock keys
  };
  Rig rig;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    rig.client->Clear();
    EXPECT_EQ(rig.Key(steps[i].code, steps[i].bits), steps[i].result);
    EXPECT_EQ(rig.Sent(), steps[i].sent);
  }
}

// The server's LEDs become what the processor believes the server has, so
// the next key brings the server back in step with the local keyboard.
TEST(VirtHidLocks, LedReportsResyncTheNextKey) {
  const Bytes capsMake = KeyFrame({0x58}), capsBreak = KeyFrame({0xF0, 0x58});
  const Bytes a = KeyFrame({0x1C});
  struct Case {
    const char* name;
    std::vector<uint32_t> report;  // words
    uint32_t length;               // bytes handed over
    std::vector<Bytes> next;       // sent by the key {0x1E, 0} that follows
  };
  const Case cases[] = {
      {"Caps Lock on", {1, 28, 1, 4}, 16, {capsMake, capsBreak, a}},
      {"all on", {1, 28, 1, 7}, 16,
       {capsMake, capsBreak, KeyFrame({0x7E}), KeyFrame({0xF0, 0x7E}), KeyFrame({0x77}), KeyFrame({0xF0, 0x77}), a}},
      {"longer report", {1, 28, 3, 0xFC, 0xAAAA}, 20, {capsMake, capsBreak, a}},
      {"not valid", {1, 28, 0, 4}, 16, {a}},
      {"other kind", {2, 28, 1, 4}, 16, {a}},
      {"other size", {1, 27, 1, 4}, 16, {a}},
      {"short", {1, 28, 1, 4}, 15, {a}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    EXPECT_EQ(rig.processor->OnData(reinterpret_cast<const uint8_t*>(c.report.data()), c.length), 0);
    EXPECT_EQ(rig.Key(0x1E, 0), 0);
    EXPECT_EQ(rig.Sent(), c.next);
  }
  Rig rig;
  EXPECT_EQ(rig.processor->OnData(nullptr, 16), -1);
  EXPECT_EQ(rig.processor->OnData(nullptr, 0xFFFFFFFFu), 0);
  // Delivered like any slot packet.
  const uint32_t report[4] = {1, 28, 1, 4};
  EXPECT_EQ(rig.processor->InjectData(reinterpret_cast<const uint8_t*>(report), sizeof report), 0);
  rig.Key(0x1E);
  EXPECT_EQ(rig.Sent().size(), 3u);
}

// ---------------------------------------------------------------- records

TEST(VirtHidRecords, OtherLengthsAndNullRecordsAreIgnored) {
  Rig rig;
  const int32_t record[8] = {0x1E, 0, 0, 0, 0, 0, 0, 0};
  for (uint32_t length : {0u, 4u, 7u, 9u, 27u, 29u, 32u}) EXPECT_EQ(rig.processor->OnClientData(record, length), 0);
  EXPECT_EQ(rig.processor->OnClientData(nullptr, 8), 0);
  EXPECT_EQ(rig.processor->OnClientData(nullptr, 28), 0);
  EXPECT_TRUE(rig.Sent().empty());
}

TEST(VirtHidPointer, FramesSentAtOnce) {
  struct Case {
    const char* name;
    int32_t buttons, x, y, move, display, xOffset, yOffset;
    Bytes frame;
  };
  const Case cases[] = {
      {"left button", 1, 100, 200, 0, 0, 0, 0, {0x0A, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 0xC8, 0x00}},
      {"second display", 2, 0x1234, 0x0567, 0, 1, 0, 0,
       {0x16, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x34, 0x12, 0x67, 0x05,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"wheel down", static_cast<int32_t>(0xFF880000u), 5, 6, 0, 0, 0, 0, PointerFrame(0xFF880000u, 5, 6)},
      {"offsets", 4, 10, 20, 0, 0, 5, -30, PointerFrame(4, 15, 0xFFF6)},
      {"left of the display", 0, -1, 70000, 0, 0, 0, 0, PointerFrame(0, 0xFFFF, 70000 & 0xFFFF)},
      {"no move in the low byte", 0, 7, 8, 0x100, 0, 0, 0, PointerFrame(0, 7, 8)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Pointer(c.buttons, c.x, c.y, c.move, c.display, c.xOffset, c.yOffset);
    // Sent before the call returned, by the caller.
    const std::vector<SentFrame> sent = rig.client->Frames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, c.frame);
    EXPECT_EQ(sent[0].slot, kSlot);
    EXPECT_TRUE(sent[0].fromOwner);
  }
}

// ---------------------------------------------------------------- pacing

TEST(VirtHidPacing, TheSenderThreadSendsMoves) {
  Rig rig;
  rig.Pointer(0, 300, 400, kMove, 1);
  ASSERT_TRUE(rig.client->WaitFrames(1));
  const std::vector<SentFrame> sent = rig.client->Frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(sent[0].fromOwner);
  EXPECT_EQ(sent[0].bytes.size(), 24u);
  EXPECT_EQ(sent[0].slot, kSlot);
}

// While the sender is busy with one move, two more arrive and a key is
// typed: the key goes out at once on the caller's thread, and of the two
// moves only the second follows.
TEST(VirtHidPacing, OnlyTheLastMoveOfAPeriodIsSentAndKeysAreNeverDelayed) {
  Rig rig;
  ASSERT_TRUE(rig.HoldSenderInSend());
  rig.Pointer(0, 2, 2, kMove);
  rig.Pointer(0, 3, 3, kMove);
  rig.Key(0x1E);
  {
    const std::vector<SentFrame> now = rig.client->Frames();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[1].bytes, KeyFrame({0x1C}));
    EXPECT_TRUE(now[1].fromOwner);
  }
  rig.client->Open();
  ASSERT_TRUE(rig.client->WaitFrames(3));
  rig.DeleteProcessor();
  const std::vector<SentFrame> sent = rig.client->Frames();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].bytes, PointerFrame(0, 1, 1));
  EXPECT_EQ(sent[2].bytes, PointerFrame(0, 3, 3));
  EXPECT_FALSE(sent[2].fromOwner);
}

// A button change that comes while a move waits goes out at once and the
// waiting move is dropped: the button frame carries the newer position.
TEST(VirtHidPacing, ButtonsOvertakeAWaitingMove) {
  Rig rig;
  ASSERT_TRUE(rig.HoldSenderInSend());
  rig.Pointer(0, 2, 2, kMove);
  rig.Pointer(1, 3, 3, 0);
  const std::vector<SentFrame> now = rig.client->Frames();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[1].bytes, PointerFrame(1, 3, 3));
  EXPECT_TRUE(now[1].fromOwner);
  rig.client->Open();
  rig.DeleteProcessor();
  EXPECT_EQ(rig.client->Frames().size(), 2u);
}

TEST(VirtHidPacing, PeriodFollowsTheConnectionParameters) {
  Rig rig;
  EXPECT_EQ(rig.processor->PeriodMs(), 30u);
  RecordingClient* wan = new RecordingClient;
  CClientConnectionParameter wanParams;
  wanParams.useWanNetwork = 1;
  wan->UseParameters(&wanParams);
  rig.processor->Attach(kSlot, wan);
  EXPECT_EQ(rig.processor->PeriodMs(), 50u);
  // Moves still go out, now through the second client.
  rig.Pointer(0, 9, 9, kMove);
  ASSERT_TRUE(wan->WaitFrames(1));
  rig.processor->Attach(kSlot, rig.client);
  EXPECT_EQ(rig.processor->PeriodMs(), 30u);
  wan->Release();
}

// ---------------------------------------------------------------- lifetime

TEST(VirtHidSender, OneSenderThreadWhateverTheAttaches) {
  CClientConnectionParameter params;
  RecordingClient* client = new RecordingClient;
  client->UseParameters(&params);
  CVirtHidSlotDataProcessor* processor = new CVirtHidSlotDataProcessor;
  processor->Attach(kSlot, client);
  EXPECT_EQ(processor->SenderStarts(), 1u);
  processor->Attach(kSlot, client);
  processor->Attach(kSlot + 1, client);
  processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  processor->Attach(kSlot, client);
  EXPECT_EQ(processor->SenderStarts(), 1u);
  // The one sender serves the latest attach.
  const int32_t move[7] = {0, 1, 2, kMove, 0, 0, 0};
  processor->OnClientData(move, sizeof move);
  ASSERT_TRUE(client->WaitFrames(1));
  EXPECT_EQ(client->Frames()[0].slot, kSlot);
  delete processor;
  client->Release();
}

TEST(VirtHidSender, NothingIsSentWithoutAClient) {
  Rig rig;
  rig.processor->Attach(CSlotDataProcessor::kDetached, nullptr);
  rig.Key(0x1E, 4);
  rig.Pointer(1, 2, 3, 0);
  rig.Pointer(0, 2, 3, kMove);
  rig.DeleteProcessor();
  EXPECT_TRUE(rig.Sent().empty());
}

// The destructor waits for a sender that is inside a send for as long as it
// takes, far longer than any fixed wait would give it, and only then lets
// the object go.
TEST(VirtHidSender, DestructorWaitsForTheSenderInsideASend) {
  Rig rig;
  ASSERT_TRUE(rig.HoldSenderInSend());

  std::mutex mutex;
  std::condition_variable changed;
  bool deleted = false;
  std::thread opener([&] {
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait_for(hold, std::chrono::milliseconds(2500), [&] { return deleted; });
    rig.client->Open();
  });
  rig.DeleteProcessor();
  const int releasedWhenDeleted = rig.client->Released();
  {
    std::lock_guard<std::mutex> hold(mutex);
    deleted = true;
    changed.notify_all();
  }
  opener.join();
  EXPECT_EQ(releasedWhenDeleted, 1);
  // The sender's reference went back before the processor's own.
  EXPECT_EQ(rig.client->RefCount(), 1);
}

// Input, LED reports from the connection thread, deactivation and
// re-attaching while the sender runs, all at once.
TEST(VirtHidSender, ConcurrentInputReportsAndAttaches) {
  Rig rig;
  RecordingClient* other = new RecordingClient;
  other->UseParameters(&rig.params);
  std::atomic<bool> stop{false};
  std::thread connection([&] {
    uint32_t leds = 0;
    while (!stop.load()) rig.Led(1, 28, 1, leds++ & 7);
  });
  auto paced = [](RecordingClient* c) {
    int n = 0;
    for (const SentFrame& f : c->Frames()) n += f.fromOwner ? 0 : 1;
    return n;
  };
  // Until the sender has served both clients a few times.
  for (int i = 0; i < 20000 && (i < 400 || paced(rig.client) < 3 || paced(other) < 3); ++i) {
    rig.Key(0x2A, i & 7);
    rig.Pointer(0, i, i, kMove);
    rig.processor->OnActivate(i & 1);
    if (i % 50 == 0) rig.processor->Attach(kSlot, (i / 50) % 2 ? other : rig.client);
    usleep(100);
  }
  stop.store(true);
  connection.join();
  rig.DeleteProcessor();
  EXPECT_GE(paced(rig.client), 3);
  EXPECT_GE(paced(other), 3);
  other->Release();
}

// ---------------------------------------------------------------- factory

TEST(VirtHidFactory, TheClientMakesAndFeedsTheProcessorBySlotName) {
  RegisterVirtHidProcessorMaker();
  SlotProcessorMaker maker = FindSlotProcessorMaker("VIRTHID ");
  ASSERT_NE(maker, nullptr);
  CClientConnectionParameter params;
  RecordingClient* client = new RecordingClient;
  client->UseParameters(&params);
  CSlotDataProcessor* processor = maker(SlotProcessorContext{client, &params, 0, 3});
  ASSERT_NE(dynamic_cast<CVirtHidSlotDataProcessor*>(processor), nullptr);
  ASSERT_EQ(client->RegisterSlotProcessor(3, processor), 0);

  const int32_t key[2] = {0x1E, 0};
  const int32_t caps[2] = {0x3A, 4};
  EXPECT_EQ(client->FeedProcessor(3, key, sizeof key), 0);
  EXPECT_EQ(client->FeedProcessor(3, caps, sizeof caps), CVirtHidSlotDataProcessor::kSwallowed);
  const std::vector<SentFrame> sent = client->Frames();
  ASSERT_EQ(sent.size(), 3u);
  for (const SentFrame& f : sent) EXPECT_EQ(f.slot, 3);
  EXPECT_EQ(sent[0].bytes, KeyFrame({0x1C}));

  client->ReleaseAllProcessors();
  client->Release();
  RegisterSlotProcessorMaker(slotname::kKeyboard, nullptr);
}

}  // namespace
