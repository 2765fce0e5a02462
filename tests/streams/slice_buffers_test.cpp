// The worker pool's spare message buffers: a buffer given back is filled
// again by the next message of its kind, never spent on a much smaller one,
// and the pool keeps only so many; preparation decodes into a spare buffer
// and gives the message it replaced back.
#include <gtest/gtest.h>

#include <cstring>

#include "stream_test_support.h"
#include "streams/DataSlicer.h"
#include "testhost/Wire.h"

namespace {

constexpr size_t kPicture = 1280 * 720 * 3 + 56;
constexpr size_t kJpeg = 120000;

SliceBuffer Filled(SliceBuffers& spare, size_t n) {
  SliceBuffer b = spare.Take(n);
  if (b.bytes) std::memset(b.bytes.get(), 0x5A, n);
  return b;
}

SliceBuffer MessageBuffer(const Bytes& message) {
  SliceBuffer b;
  b.bytes.reset(new uint8_t[message.size()]);
  std::memcpy(b.bytes.get(), message.data(), message.size());
  b.capacity = message.size();
  return b;
}

}  // namespace

TEST(SliceBuffers, AGivenBufferIsFilledAgainByTheNextMessageOfItsKind) {
  SliceBuffers spare(4, 64 << 20);
  SliceBuffer picture = Filled(spare, kPicture);
  ASSERT_TRUE(picture.bytes);
  EXPECT_GE(picture.capacity, kPicture);
  const uint8_t* const block = picture.bytes.get();
  spare.Give(std::move(picture));
  EXPECT_EQ(spare.KeptCount(), 1u);
  // A slightly larger picture still fits the block.
  SliceBuffer again = Filled(spare, kPicture + 1000);
  EXPECT_EQ(again.bytes.get(), block);
  EXPECT_EQ(spare.KeptCount(), 0u);
}

TEST(SliceBuffers, APictureBufferIsNotSpentOnAMuchSmallerMessage) {
  SliceBuffers spare(4, 64 << 20);
  SliceBuffer picture = Filled(spare, kPicture);
  SliceBuffer jpeg = Filled(spare, kJpeg);
  const uint8_t* const pictureBlock = picture.bytes.get();
  const uint8_t* const jpegBlock = jpeg.bytes.get();
  spare.Give(std::move(picture));
  spare.Give(std::move(jpeg));
  SliceBuffer small = Filled(spare, 100);
  EXPECT_NE(small.bytes.get(), pictureBlock);
  EXPECT_NE(small.bytes.get(), jpegBlock);
  SliceBuffer nextJpeg = Filled(spare, kJpeg - 5000);
  EXPECT_EQ(nextJpeg.bytes.get(), jpegBlock);
  SliceBuffer nextPicture = Filled(spare, kPicture);
  EXPECT_EQ(nextPicture.bytes.get(), pictureBlock);
}

TEST(SliceBuffers, OnlySoManyBuffersAndBytesAreKept) {
  const struct {
    const char* name;
    size_t keepCount;
    size_t keepBytes;
    size_t given;
    size_t kept;
  } cases[] = {
      {"count limit", 2, 64 << 20, 4, 2},
      {"byte limit", 8, 3 * kPicture, 4, 2},
      {"nothing kept", 0, 0, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SliceBuffers spare(c.keepCount, c.keepBytes);
    std::vector<SliceBuffer> taken;
    for (size_t i = 0; i < c.given; ++i) taken.push_back(Filled(spare, kPicture));
    for (SliceBuffer& b : taken) spare.Give(std::move(b));
    EXPECT_EQ(spare.KeptCount(), c.kept);
  }
  SliceBuffers spare(4, 64 << 20);
  spare.Give(Filled(spare, 64));  // too small to be worth keeping
  spare.Give(SliceBuffer());
  EXPECT_EQ(spare.KeptCount(), 0u);
}

TEST(StreamSlotPool, PreparationDecodesIntoASpareBufferAndGivesTheOldMessageBack) {
  auto port = MakeStreamPort();
  CAvsSlotDataProcessor processor(0);
  processor.AttachPort(3, port);
  const Bytes jpeg = hs::JpegOf(Picture(64, 48));
  const Bytes frame = hs::JpegFrame(0, jpeg, hs::Rect{0, 0, 64, 48});
  const size_t pictureMessage = 56 + 64 * 48 * 3;

  SliceBuffers spare(4, 64 << 20);
  SliceBuffer waiting = spare.Take(pictureMessage);
  const uint8_t* const waitingBlock = waiting.bytes.get();
  spare.Give(std::move(waiting));

  SliceBuffer message = MessageBuffer(frame);
  uint32_t length = uint32_t(frame.size());
  bool preDecoded = false;
  EXPECT_TRUE(processor.PrepareMessage(message, length, preDecoded, spare));
  ASSERT_TRUE(preDecoded);
  EXPECT_EQ(message.bytes.get(), waitingBlock);
  EXPECT_EQ(length, pictureMessage);
  const Bytes out(message.bytes.get(), message.bytes.get() + length);
  EXPECT_EQ(testhost::wire::Read(out, 4, 4), 64u * 48 * 3);
  EXPECT_EQ(testhost::wire::Read(out, 24, 4), 64u);
  EXPECT_EQ(testhost::wire::Read(out, 28, 4), 48u);
  // The JPEG message is too small to keep, so the spare list is empty.
  EXPECT_EQ(spare.KeptCount(), 0u);

  // A message that does not decode stays as it was, and the spare buffer
  // stays spare.
  const Bytes broken = hs::JpegFrame(0, Bytes(5000, 7), hs::Rect{0, 0, 64, 48});
  SliceBuffer kept = spare.Take(pictureMessage);
  spare.Give(std::move(kept));
  SliceBuffer bad = MessageBuffer(broken);
  const uint8_t* const badBlock = bad.bytes.get();
  length = uint32_t(broken.size());
  preDecoded = false;
  processor.PrepareMessage(bad, length, preDecoded, spare);
  EXPECT_FALSE(preDecoded);
  EXPECT_EQ(bad.bytes.get(), badBlock);
  EXPECT_EQ(Bytes(bad.bytes.get(), bad.bytes.get() + length), broken);
  EXPECT_EQ(spare.KeptCount(), 1u);
}
