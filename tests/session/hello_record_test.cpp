// The hello record: a whole record against bytes written out by hand, single
// fields for the parameters that move them, the slot tables, and the checks
// of the server's replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ClientDoubles.h"
#include "session/HelloProbes.h"
#include "session/SlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"
#include "transport/Status.h"

namespace {

using clienttest::ClientRig;
using clienttest::SetText;

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

uint32_t U32(const uint8_t* h, size_t offset) {
  return h[offset] | (h[offset + 1] << 8) | (h[offset + 2] << 16) | (static_cast<uint32_t>(h[offset + 3]) << 24);
}

uint16_t U16(const uint8_t* h, size_t offset) { return static_cast<uint16_t>(h[offset] | (h[offset + 1] << 8)); }

std::string SlotName(const uint8_t* h, int index) {
  return std::string(reinterpret_cast<const char*>(h + 0x18 + 16 * index), 8);
}

// A session with a program to start, sound, a domain, colour cursor,
// clipboard and automatic log-on; everything else as the defaults leave it.
void GoldenParameters(CClientConnectionParameter* p) {
  p->connectionKind = 1;
  p->useSound = 1;
  SetText(p->domain, kFieldChars, u"DOM");
  SetText(p->userName, kCredentialChars, u"alice");
  SetText(p->password, kCredentialChars, u"secret");
  p->width = 1280;
  p->height = 1024;
  p->colorDepth = 16;
  p->useColorCursor = 1;
  p->clipboardShare = 1;
  p->autoLogon = 1;
  p->startProgram = 1;
  SetText(p->programPath, kFieldChars, u"C:\\app.exe");
  SetText(p->workingDir, kFieldChars, u"C:\\work");
  p->useAudioVideoSynch = 1;
  p->dsFormatsSupport = 1;
  p->dxva2Support = 1;
  p->vlcVideoDecoderSupport = 1;
}

// Written from the record's layout, byte by byte; every byte not listed is 0.
struct Run {
  size_t offset;
  const char* bytes;
};
const Run kGoldenHello[] = {
    {0x000, "70 4D 50 57 49 4E 44 00  0A 00 05 02 02 00 00 00  01 00 00 00 00 00 05 00"},
    {0x018, "56 49 52 54 48 49 44 20  01 00 01 00 02 00 00 50"},
    {0x028, "48 50 56 43 41 52 44 20  01 00 02 00 02 00 00 00"},
    {0x038, "4B 4F 56 41 55 44 49 4F  01 00 01 00 00 00 00 00"},
    {0x048, "5A 45 56 4F 52 4F 44 20  01 00 01 00 00 00 00 00"},
    {0x058, "4D 53 56 43 45 58 54 20  01 00 01 00 00 00 00 00"},
    {0x158, "44 00 4F 00 4D 00 5C 00  61 00 6C 00 69 00 63 00  65 00"},
    {0x19A, "73 00 65 00 63 00 72 00  65 00 74 00"},
    {0x1D8, "00 05 00 00  00 04 00 00  10 00 00 00"},
    {0x1E4, "12 AA 34 90"},
    {0x214, "00 10 00 40"},
    {0x374, "00 00 00 A0  01 00 00 A0  02 00 00 A0  03 00 00 A0  04 00 00 A0"},
    {0x388, "05 00 00 A0  06 00 00 A0  07 00 00 A0  08 00 00 A0  09 00 00 A0"},
    {0x39C, "0A 00 00 A0  0B 00 00 A0  0C 00 00 A0  0D 00 00 A0  0E 00 00 A0"},
    {0x3B0, "0F 00 00 A0  10 00 00 A0  11 00 00 A0  12 00 00 A0  13 00 00 A0"},
    {0x3C4, "10 00 00 00"},
    {0x434, "4B 00"},
    {0x444, "00 00 00 0C  00 00 01 00  8F DA F2 02"},
    {0x4EC, "12 A9 24 80  01 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00"},
    {0x500, "12 A9 24 80  02 00 00 00"},
    {0x540, "1F 00 00 00  01 00 00 00"},
    {0x580, "12 A8 14 70  FF FF FF FF"},
    {0x598, "01 06 14 00  07 00 00 00  90 01 00 00  01 10 00 00  00 20 00 00"},
    {0x5CC, "11 00 00 40"},
    {0x604, "43 00 3A 00 5C 00 77 00  6F 00 72 00 6B 00"},
    {0x80C, "43 00 3A 00 5C 00 61 00  70 00 70 00 2E 00 65 00  78 00 65 00"},
};

std::vector<uint8_t> GoldenHello() {
  std::vector<uint8_t> hello(2644, 0);
  for (const Run& run : kGoldenHello) {
    const std::vector<uint8_t> bytes = Hex(run.bytes);
    std::copy(bytes.begin(), bytes.end(), hello.begin() + static_cast<std::ptrdiff_t>(run.offset));
  }
  return hello;
}

TEST(HelloRecord, MatchesTheHandWrittenRecord) {
  ClientRig rig;
  GoldenParameters(&rig.params);
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  ASSERT_EQ(rig.client->HelloSize(), 2644u);
  const std::vector<uint8_t> built(rig.client->Hello(), rig.client->Hello() + 2644);
  const std::vector<uint8_t> golden = GoldenHello();
  for (size_t i = 0; i < golden.size(); ++i) ASSERT_EQ(built[i], golden[i]) << "offset 0x" << std::hex << i;
}

struct FieldCase {
  const char* name;
  void (*setup)(CClientConnectionParameter*);
  size_t offset;
  int size;  // 1, 2 or 4 bytes; 8 compares the tag
  uint32_t value;
  const char* tag;
};

const FieldCase kFieldCases[] = {
    {"tag pMTZ900", [](CClientConnectionParameter* p) { p->nameMode = 1; }, 0x000, 8, 0, "pMTZ900\0"},
    {"tag pMRPi", [](CClientConnectionParameter* p) { p->nameMode = 2; }, 0x000, 8, 0, "pMRPi\0\0\0"},
    {"tag pMPWIND", [](CClientConnectionParameter* p) { p->nameMode = 7; }, 0x000, 8, 0, "pMPWIND\0"},
    {"flags plain", [](CClientConnectionParameter*) {}, 0x008, 2, 8, nullptr},
    {"flags program without path", [](CClientConnectionParameter* p) { p->startProgram = 1; }, 0x008, 2, 8, nullptr},
    {"flags program",
     [](CClientConnectionParameter* p) {
       p->startProgram = 1;
       SetText(p->programPath, kFieldChars, u"x");
     },
     0x008, 2, 10, nullptr},
    {"default width", [](CClientConnectionParameter* p) { p->colorDepth = 0; }, 0x1D8, 4, 600, nullptr},
    {"default height", [](CClientConnectionParameter* p) { p->width = 0; }, 0x1DC, 4, 800, nullptr},
    {"default depth", [](CClientConnectionParameter* p) { p->height = 0; }, 0x1E0, 4, 24, nullptr},
    {"width", [](CClientConnectionParameter*) {}, 0x1D8, 4, 1024, nullptr},
    {"mono cursor", [](CClientConnectionParameter*) {}, 0x1E4 + 0x1E0, 4, 1, nullptr},
    {"session word kind 2", [](CClientConnectionParameter*) {}, 0x5CC, 4, 0, nullptr},
    {"session word kind 2 log-on", [](CClientConnectionParameter* p) { p->autoLogon = 1; }, 0x5CC, 4, 0x40000000,
     nullptr},
    {"session word minimal",
     [](CClientConnectionParameter* p) {
       p->minimalSlots = 1;
       p->autoLogon = 1;
     },
     0x5CC, 4, 4, nullptr},
    {"session word kind 1", [](CClientConnectionParameter* p) { p->connectionKind = 1; }, 0x5CC, 4, 1, nullptr},
    {"second display count", [](CClientConnectionParameter* p) { p->extraDisplayCount = 1; }, 0x1E4 + 0x288, 4, 1,
     nullptr},
    {"second display width",
     [](CClientConnectionParameter* p) {
       p->extraDisplayCount = 1;
       p->display2Size = {1600, 900};
     },
     0x1E4 + 0x28C, 4, 1600, nullptr},
    {"second display x sign-extended",
     [](CClientConnectionParameter* p) {
       p->extraDisplayCount = 1;
       p->display2Origin = {-1600, 0};
     },
     0x1E4 + 0x294, 4, 0xFFFFF9C0u, nullptr},
    {"no second display origin",
     [](CClientConnectionParameter* p) { p->display2Origin = {-1600, 0}; }, 0x1E4 + 0x294, 4, 0, nullptr},
    {"media: DirectShow word", [](CClientConnectionParameter*) {}, 0x1E4 + 0x30C, 4, 1, nullptr},
    {"media: H.264 word, nothing decodes", [](CClientConnectionParameter*) {}, 0x1E4 + 0x310, 4, 0, nullptr},
    {"audio sync off", [](CClientConnectionParameter*) {}, 0x544, 4, 0, nullptr},
    {"audio sync on", [](CClientConnectionParameter* p) { p->useAudioVideoSynch = 1; }, 0x544, 4, 1, nullptr},
    {"hid flags kind 1 encrypted",
     [](CClientConnectionParameter* p) {
       p->connectionKind = 1;
       p->encryptionLevel = 1;
     },
     0x18 + 14, 2, 0x5700, nullptr},
    {"hid flags minimal",
     [](CClientConnectionParameter* p) {
       p->connectionKind = 1;
       p->minimalSlots = 1;
       p->encryptionLevel = 2;
     },
     0x18 + 14, 2, 0, nullptr},
    {"display flags level 2", [](CClientConnectionParameter* p) { p->encryptionLevel = 2; }, 0x28 + 14, 2, 0x680,
     nullptr},
    {"display flags level 1", [](CClientConnectionParameter* p) { p->encryptionLevel = 1; }, 0x28 + 14, 2, 0, nullptr},
};

TEST(HelloRecord, SingleFields) {
  for (const FieldCase& c : kFieldCases) {
    SCOPED_TRACE(c.name);
    ClientRig rig;
    clienttest::PlainParameters(&rig.params, 1);
    c.setup(&rig.params);
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
    const uint8_t* h = rig.client->Hello();
    switch (c.size) {
      case 8:
        EXPECT_EQ(0, memcmp(h + c.offset, c.tag, 8));
        break;
      case 2:
        EXPECT_EQ(U16(h, c.offset), c.value);
        break;
      default:
        EXPECT_EQ(U32(h, c.offset), c.value);
    }
  }
}

TEST(HelloRecord, LogonNameAndPasswordAreCut) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  SetText(rig.params.domain, kFieldChars, u"DOMAINDOMAIN");
  SetText(rig.params.userName, kCredentialChars, u"0123456789012345678901234567890123456789");
  SetText(rig.params.password, kCredentialChars, u"abcdefghijabcdefghijabcdefghijabcdefghij");
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  const uint8_t* h = rig.client->Hello();
  const std::u16string expected = u"DOMAINDOMAIN\\012345678901234567";
  ASSERT_EQ(expected.size(), 31u);
  for (size_t i = 0; i < 31; ++i) EXPECT_EQ(U16(h, 0x158 + 2 * i), expected[i]) << i;
  EXPECT_EQ(U16(h, 0x158 + 62), 0);
  EXPECT_EQ(U16(h, 0x19A + 2 * 29), u'j');
  EXPECT_EQ(U16(h, 0x19A + 2 * 30), 0);
}

TEST(HelloRecord, UnknownConnectionKindIsRefused) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  rig.params.connectionKind = 3;
  ASSERT_EQ(rig.Init(), 0);
  EXPECT_EQ(rig.client->BuildHello(&rig.params), 0x1002);
  EXPECT_EQ(rig.client->Hello(), nullptr);
}

// A processor that only says it exists.
class MarkerProcessor : public CSlotDataProcessor {
 public:
  int OnData(const uint8_t*, uint32_t) override { return 0; }
  int OnClientData(const void*, uint32_t) override { return 0; }
};

CSlotDataProcessor* MakeMarker(const SlotProcessorContext&) { return new MarkerProcessor; }

struct SlotCase {
  const char* name;
  void (*setup)(CClientConnectionParameter*);
  std::vector<std::string> names;
  int display[2];
  int stream[2];
  int audio;
  int channel;
  int processors;  // registered, with a maker for every name
};

const SlotCase kSlotCases[] = {
    {"minimal",
     [](CClientConnectionParameter* p) {
       p->minimalSlots = 1;
       p->useSound = 1;
     },
     {"VIRTHID ", "HPVCARD "}, {1, 0xFFFF}, {0xFFFF, 0xFFFF}, 0xFFFF, 0xFFFF, 0},
    {"plain", [](CClientConnectionParameter*) {},
     {"VIRTHID ", "HPVCARD ", "ZEVOROD ", "MSVCEXT "}, {1, 0xFFFF}, {2, 0xFFFF}, 0xFFFF, 3, 4},
    {"two displays and sound",
     [](CClientConnectionParameter* p) {
       p->useSound = 1;
       p->extraDisplayCount = 1;
     },
     {"VIRTHID ", "HPVCARD ", "KOVAUDIO", "ZEVOROD ", "MSVCEXT "}, {1, 5}, {3, 6}, 2, 4, 7},
};

TEST(HelloRecord, SlotTablesAndIds) {
  const char* names[] = {slotname::kKeyboard, slotname::kDisplay, slotname::kAudio, slotname::kStream,
                         slotname::kChannels};
  for (const char* name : names) RegisterSlotProcessorMaker(name, MakeMarker);
  for (const SlotCase& c : kSlotCases) {
    SCOPED_TRACE(c.name);
    ClientRig rig;
    clienttest::PlainParameters(&rig.params, 1);
    c.setup(&rig.params);
    ASSERT_EQ(rig.Init(), 0);
    ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
    const uint8_t* h = rig.client->Hello();
    ASSERT_EQ(U16(h, 0x16), c.names.size());
    for (size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(SlotName(h, static_cast<int>(i)), c.names[i]);
    EXPECT_EQ(SlotName(h, static_cast<int>(c.names.size())), std::string(8, '\0'));
    EXPECT_EQ(rig.client->HidSlot(), 0);
    for (int d = 0; d < 2; ++d) {
      EXPECT_EQ(rig.client->DisplaySlot(d), c.display[d]);
      EXPECT_EQ(rig.client->StreamSlot(d), c.stream[d]);
    }
    EXPECT_EQ(rig.client->AudioSlot(), c.audio);
    EXPECT_EQ(rig.client->ChannelSlot(), c.channel);
    EXPECT_EQ(rig.client->ProcessorCount(), c.processors);
  }
  for (const char* name : names) RegisterSlotProcessorMaker(name, nullptr);
}

TEST(HelloRecord, SlotsWithoutMakersGetNoProcessor) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  EXPECT_EQ(rig.client->ProcessorCount(), 0);
  EXPECT_EQ(rig.client->DisplaySlot(0), 1);
}

TEST(HelloRecord, ProbesThatAnswerMoveTheMediaWords) {
  HelloProbes probes;
  probes.detectDsVideoDecoders = [] { return 0x30u; };
  probes.probeH264Support = [] { return 1u; };
  probes.probeDxvaProfiles = [] { return 0x5u; };
  probes.probeMediaFoundationCodecs = [] { return 0x9u; };
  probes.lossyEnabled = [] { return false; };
  const HelloProbes previous = SetHelloProbes(probes);
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  rig.params.dsFormatsSupport = 1;
  rig.params.vlcVideoDecoderSupport = 1;
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  const uint8_t* h = rig.client->Hello();
  EXPECT_EQ(U32(h, 0x1E4 + 0x268), 0x02B2DA8Fu);  // alignment without lossy
  EXPECT_EQ(U32(h, 0x1E4 + 0x30C), 0x31u);
  EXPECT_EQ(U32(h, 0x1E4 + 0x310), 1u);
  EXPECT_EQ(U32(h, 0x1E4 + 0x314), 0u);  // DXVA switched off in the parameters
  EXPECT_EQ(U32(h, 0x1E4 + 0x318), 0x9u);
  SetHelloProbes(previous);
}

TEST(HelloRecord, OneProbeIsInstalledWithoutTouchingTheOthers) {
  HelloProbes probes;
  probes.probeDxvaProfiles = [] { return 0x5u; };
  const HelloProbes previous = SetHelloProbes(probes);
  EXPECT_EQ(SetHelloProbe(&HelloProbes::probeH264Support, [] { return 3u; }), nullptr);
  EXPECT_EQ(ProbeH264Support(), 3u);
  EXPECT_EQ(ProbeDxvaProfiles(), 0x5u);
  SetHelloProbes(previous);
}

// ---------------------------------------------------------------- replies

std::vector<uint8_t> Reply(uint32_t code, size_t size, const char* tag, uint32_t version, uint16_t slots) {
  std::vector<uint8_t> m(size, 0);
  auto put = [&](size_t at, uint64_t v, int n) {
    for (int i = 0; i < n && at + i < m.size(); ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0, code, 4);
  for (size_t i = 0; i < 8 && tag[i]; ++i) m[4 + i] = static_cast<uint8_t>(tag[i]);
  put(4 + 0x0A, version >> 16, 2);
  put(4 + 0x0C, version & 0xFFFF, 2);
  put(4 + 0x18, slots, 2);
  return m;
}

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> message;
  int result;
  uint8_t remap;
};

TEST(HelloRecord, PlainReplyChecks) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  const uint16_t n = 4;
  const ReplyCase k258[] = {
      {"491 bytes", Reply(258, 491, "UTMASRV", 0x07000001, n), -1, 0},
      {"492 bytes", Reply(258, 492, "UTMASRV", 0x07000001, n), 0, 0},
      {"wrong code", Reply(259, 492, "UTMASRV", 0x07000001, n), -1, 0},
      {"wrong count", Reply(258, 492, "UTMASRV", 0x07000001, n + 1), -1, 0},
  };
  for (const ReplyCase& c : k258) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(rig.client->CheckReply258(c.message.data(), static_cast<int>(c.message.size())), c.result);
  }
  EXPECT_EQ(rig.client->CheckReply258(nullptr, 0), kStatusBadArgument);

  const ReplyCase k260[] = {
      {"remap above 7.0", Reply(260, 492, "UTMASRV", 0x07000001, n), 0, 1},
      {"7.0 exactly", Reply(260, 492, "UTMASRV", 0x07000000, n), 0, 0},
      {"oldest accepted", Reply(260, 492, "UTMASRV", 0x06010405, n), 0, 0},
      {"too old", Reply(260, 492, "UTMASRV", 0x06010404, n), -1, 0},
      {"linux server", Reply(260, 2032, "LNXSRV ", 0x03010501, n), 0, 0},
      {"old linux server", Reply(260, 2032, "LNXSRV ", 0x03010500, n), -1, 0},
      {"tag without terminator", Reply(260, 492, "UTMASRVX", 0x07000001, n), -1, 0},
      {"unknown tag", Reply(260, 492, "OTHER", 0x07000001, n), -1, 0},
      {"slot count", Reply(260, 492, "UTMASRV", 0x07000001, n - 1), -1, 1},
      {"short", Reply(260, 491, "UTMASRV", 0x07000001, n), -1, 0},
      {"wrong code", Reply(258, 492, "UTMASRV", 0x07000001, n), -1, 0},
  };
  for (const ReplyCase& c : k260) {
    SCOPED_TRACE(c.name);
    ClientRig fresh;
    clienttest::PlainParameters(&fresh.params, 1);
    ASSERT_EQ(fresh.Init(), 0);
    ASSERT_EQ(fresh.client->BuildHello(&fresh.params), kStatusOk);
    std::vector<uint8_t> m = c.message;
    EXPECT_EQ(fresh.client->CheckReply260(m.data(), static_cast<int>(m.size())), c.result);
    EXPECT_EQ(fresh.client->Remap(), c.remap);
    // A plain session keeps its alignment flag whatever the reply says.
    EXPECT_EQ(fresh.client->AlignFlag(), 1);
  }
}

TEST(HelloRecord, EncryptedReply258Checks) {
  ClientRig rig;
  clienttest::PlainParameters(&rig.params, 1);
  rig.params.encryptionLevel = 1;
  ASSERT_EQ(rig.Init(), 0);
  ASSERT_EQ(rig.client->BuildHello(&rig.params), kStatusOk);
  struct KeyCase {
    size_t size;
    uint8_t words;
    uint8_t exponent;
    int result;
  };
  const KeyCase cases[] = {{160, 16, 17, 0}, {160, 8, 31, 0},  {160, 32, 17, 0}, {160, 12, 17, -1},
                           {160, 16, 16, -1}, {160, 16, 32, -1}, {492, 16, 17, -1}, {159, 16, 17, -1}};
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, " << int(c.words) << " words, e " << int(c.exponent));
    std::vector<uint8_t> m = Reply(258, c.size, "UTMASRV", 0x07000001, 0);
    if (m.size() > 29) {
      m[28] = c.words;
      m[29] = c.exponent;
    }
    EXPECT_EQ(rig.client->CheckReply258(m.data(), static_cast<int>(m.size())), c.result);
  }
}

}  // namespace
