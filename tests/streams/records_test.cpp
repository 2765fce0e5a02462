// The stream records: their sizes and field offsets, and the client's
// readers against the test host's independent writers.
#include <gtest/gtest.h>

#include <cstring>

#include "streams/Stream.h"
#include "streamshared/StreamRecords.h"
#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"
#include "testhost/StreamEncoder.h"
#include "testhost/Wire.h"

namespace hs = testhost::stream;
using Bytes = std::vector<uint8_t>;
using testhost::wire::Read;

namespace {

GUID ClientGuid(const hs::Guid& g) {
  ByteReader in(g.data(), g.size());
  GUID out;
  ReadGuid(in, &out);
  return out;
}

template <class Record>
Bytes Written(const Record& record, size_t capacity) {
  Bytes out(capacity, 0xEE);
  ByteWriter writer(out.data(), out.size());
  record.Write(writer);
  EXPECT_TRUE(writer.Ok());
  out.resize(writer.Position());
  return out;
}

}  // namespace

TEST(StreamRecords, SampleInfoFieldsLieAtTheirOffsets) {
  SampleInfoRecord r;
  r.streamId = 0x11;
  r.reserved = 0x22;
  r.typeSpecificFlags = 0x33;
  r.sampleFlags = 0x44;
  r.actual = 0x55;
  r.start = 0x0102030405060708;
  r.stop = -2;
  r.propertiesStreamId = 0x66;
  r.mediaTypePointer = 0x77;
  r.bufferPointer = 0x88;
  r.bufferLength = 0x99;
  const Bytes b = Written(r, 100);
  ASSERT_EQ(b.size(), SampleInfoRecord::kSize);
  const struct {
    size_t offset;
    int bytes;
    uint64_t value;
  } fields[] = {{0, 4, 0x11},  {4, 4, 0x22},  {8, 4, 48},   {12, 4, 0x33},
                {16, 4, 0x44}, {20, 4, 0x55}, {24, 8, 0x0102030405060708},
                {32, 8, uint64_t(int64_t(-2))}, {40, 4, 0x66}, {44, 4, 0x77},
                {48, 4, 0x88}, {52, 4, 0x99}};
  for (const auto& f : fields) {
    SCOPED_TRACE(f.offset);
    EXPECT_EQ(Read(b, f.offset, f.bytes), f.value);
  }
}

TEST(StreamRecords, SegmentAndFormatHeadHaveTheirSizes) {
  SegmentRecord s;
  s.start = 5;
  s.stop = 9;
  s.rate = 1.5;
  const Bytes segment = Written(s, 100);
  ASSERT_EQ(segment.size(), SegmentRecord::kSize);
  EXPECT_EQ(Read(segment, 8, 8), 9u);
  double rate = 0;
  const uint64_t bits = Read(segment, 16, 8);
  std::memcpy(&rate, &bits, sizeof rate);
  EXPECT_EQ(rate, 1.5);

  StreamFormatRecord f;
  f.size = 64 + 3;
  f.flags = StreamFormatRecord::kFixedSizeSamples;
  f.subtype = ClientGuid(hs::FourccGuid(0x34363248));
  f.block = {1, 2, 3};
  const Bytes format = f.ToBytes();
  ASSERT_EQ(format.size(), 67u);
  EXPECT_EQ(Read(format, 0, 4), 67u);
  EXPECT_EQ(Read(format, 4, 4), 2u);
  EXPECT_EQ(Read(format, 32, 4), 0x34363248u);
  EXPECT_EQ(format[64], 1);
  EXPECT_EQ(AllocatorPropertiesRecord::kSize, 16u);
  EXPECT_EQ(WaveFormatRecord::kHeadSize, 18u);
}

TEST(StreamRecords, ClientReadsWhatTheHostWrote) {
  hs::FormatRecord hostFormat;
  hostFormat.flags = 1;
  hostFormat.sampleSize = 4096;
  hostFormat.majorType = hs::VideoMajorType();
  hostFormat.subtype = hs::FourccGuid(0x47504A4D);
  hostFormat.formatType = hs::MakeGuid(0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A});
  hostFormat.block = Bytes(88, 0x5A);
  const Bytes formatBytes = hostFormat.Encode();
  ByteReader formatIn(formatBytes.data(), formatBytes.size());
  StreamFormatRecord format;
  ASSERT_TRUE(format.Read(formatIn));
  EXPECT_EQ(formatIn.Remaining(), 0u);
  EXPECT_EQ(format.size, 64u + 88u);
  EXPECT_EQ(format.flags, 1u);
  EXPECT_EQ(format.sampleSize, 4096u);
  EXPECT_EQ(format.majorType, ClientGuid(hs::VideoMajorType()));
  EXPECT_EQ(format.majorType.Data1, 0x73646976u);
  EXPECT_EQ(format.formatType.Data3, 0x11CE);
  EXPECT_EQ(format.formatType.Data4[7], 0x5A);
  EXPECT_EQ(format.block, hostFormat.block);
  EXPECT_EQ(format.ToBytes(), formatBytes);

  hs::SampleInfo hostInfo;
  hostInfo.streamId = 7;
  hostInfo.sampleFlags = 0x1;
  hostInfo.actual = 1234;
  hostInfo.start = 400000;
  hostInfo.stop = 733333;
  const Bytes infoBytes = hostInfo.Encode();
  ByteReader infoIn(infoBytes.data(), infoBytes.size());
  SampleInfoRecord info;
  ASSERT_TRUE(info.Read(infoIn));
  EXPECT_EQ(infoIn.Remaining(), 0u);
  EXPECT_EQ(info.streamId, 7u);
  EXPECT_EQ(info.cbData, 48u);
  EXPECT_EQ(info.sampleFlags, 1u);
  EXPECT_EQ(info.actual, 1234);
  EXPECT_EQ(info.start, 400000);
  EXPECT_EQ(info.stop, 733333);
  EXPECT_EQ(info.propertiesStreamId, 7u);

  hs::Segment hostSegment{-5, 1000000, 2.0};
  const Bytes segmentBytes = hostSegment.Encode();
  ByteReader segmentIn(segmentBytes.data(), segmentBytes.size());
  SegmentRecord segment;
  ASSERT_TRUE(segment.Read(segmentIn));
  EXPECT_EQ(segment.start, -5);
  EXPECT_EQ(segment.stop, 1000000);
  EXPECT_EQ(segment.rate, 2.0);

  hs::WaveFormat hostWave;
  hostWave.formatTag = 2;
  hostWave.extra = {9, 8, 7, 6};
  const Bytes waveBytes = hostWave.Encode();
  ByteReader waveIn(waveBytes.data(), waveBytes.size());
  WaveFormatRecord wave;
  ASSERT_TRUE(wave.Read(waveIn));
  EXPECT_EQ(wave.formatTag, 2);
  EXPECT_EQ(wave.samplesPerSec, 44100u);
  EXPECT_EQ(wave.blockAlign, 4);
  EXPECT_EQ(wave.extra, hostWave.extra);
}

TEST(StreamRecords, FormatReadStopsAtTheBytesItHas) {
  hs::FormatRecord host;
  host.block = Bytes(10, 1);
  Bytes bytes = host.Encode();
  const struct {
    const char* name;
    uint32_t size;
    size_t keep;
  } cases[] = {{"size below the head", 63, bytes.size()},
               {"block past the end", 64 + 10, bytes.size() - 1},
               {"head cut", 64, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = bytes;
    b[0] = uint8_t(c.size);
    b.resize(c.keep);
    ByteReader in(b.data(), b.size());
    StreamFormatRecord record;
    EXPECT_FALSE(record.Read(in));
    EXPECT_TRUE(record.block.empty());
  }
  hs::WaveFormat wave;
  wave.extra = Bytes(6, 2);
  Bytes waveBytes = wave.Encode();
  waveBytes.pop_back();
  ByteReader waveIn(waveBytes.data(), waveBytes.size());
  WaveFormatRecord record;
  EXPECT_FALSE(record.Read(waveIn));
}

namespace {
class BareStream : public CStream {
 public:
  int SetFormat(const StreamFormatRecord&) override { return 0; }
  int ProcessSample(const uint8_t*, uint32_t, const StreamSampleContext&) override { return 0; }
  int SetState(int) override { return 0; }
  int NewSegment(const SegmentRecord&) override { return 0; }
};
}  // namespace

TEST(StreamInterface, SetFormatRecordKeepsWhatTheSizeSays) {
  StreamFormatRecord record;
  record.block = Bytes(999 - 64, 3);
  const struct {
    uint32_t size;
    int result;
    size_t kept;
  } cases[] = {{999, 0, 999}, {1000, -1, 0}, {0, -1, 0}, {100, 0, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    BareStream stream;
    record.size = c.size;
    EXPECT_EQ(stream.SetFormatRecord(record), c.result);
    EXPECT_EQ(stream.FormatRecord().size(), c.kept);
  }
  BareStream stream;
  record.size = 998;
  record.block.resize(10);  // the size says more than the record holds
  EXPECT_EQ(stream.SetFormatRecord(record), -1);
}

TEST(StreamInterface, BaseOperationsAnswerAsDesigned) {
  BareStream stream;
  EXPECT_EQ(stream.SetWaveFormat(WaveFormatRecord()), -1);
  EXPECT_EQ(stream.SetAllocator(AllocatorPropertiesRecord()), -1);
  EXPECT_EQ(stream.Close(), -1);
  EXPECT_EQ(stream.FilterEvent(1), -1);
  EXPECT_EQ(stream.DSSetWindowRect(nullptr, 0, 0, 0, 0), -1);
  EXPECT_EQ(stream.ShowWindow(), -1);
  EXPECT_EQ(stream.OnParentPaint(0, 0), 0);
  EXPECT_EQ(stream.UpdateWindowRectToScroll(0, 0), 0);
  EXPECT_EQ(stream.OnUpdateView(nullptr, 0), int(E_NOTIMPL));
}
