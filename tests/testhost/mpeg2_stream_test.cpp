// The host's MPEG-2 stream of the DirectShow kind: pictures split at their
// start codes, the size from the sequence header, and the messages in the
// order the client needs them.
#include <gtest/gtest.h>

#include "testhost/Mpeg2Stream.h"

namespace {

using testhost::stream::Bytes;

Bytes Unit(uint8_t code, std::initializer_list<uint8_t> rest = {}) {
  Bytes b = {0, 0, 1, code};
  b.insert(b.end(), rest);
  return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(Mpeg2Stream, PicturesSplitAtSequenceGopAndPictureStarts) {
  // 352 x 288: 0x160 and 0x120 in the first three bytes after the code.
  const Bytes sequence = Unit(0xB3, {0x16, 0x01, 0x20, 0x13});
  const Bytes first = Join({sequence, Unit(0xB5, {1}), Unit(0xB8, {2}), Unit(0x00, {3}), Unit(0x01, {4})});
  const Bytes second = Join({Unit(0x00, {5}), Unit(0x01, {6})});
  const Bytes third = Join({Unit(0xB8, {7}), Unit(0x00, {8}), Unit(0x01, {9})});
  const Bytes stream = Join({first, second, third});
  const std::vector<Bytes> pictures = testhost::stream::Mpeg2Pictures(stream);
  ASSERT_EQ(pictures.size(), 3u);
  EXPECT_EQ(pictures[0], first);
  EXPECT_EQ(pictures[1], second);
  EXPECT_EQ(pictures[2], third);
  int width = 0, height = 0;
  ASSERT_TRUE(testhost::stream::Mpeg2PictureSize(stream, &width, &height));
  EXPECT_EQ(width, 352);
  EXPECT_EQ(height, 288);
  EXPECT_FALSE(testhost::stream::Mpeg2PictureSize(second, &width, &height));

  // Reserve, create, allocator, rectangle, run, segment, then the samples.
  const auto messages = testhost::stream::Mpeg2StreamMessages(3, stream, {0, 0, 352, 288}, 0xFF00FF);
  EXPECT_EQ(messages.size(), 6u + 3u);
  EXPECT_TRUE(testhost::stream::Mpeg2StreamMessages(3, second, {}, 0).empty());
}

}  // namespace
