// The hello record the client announces itself with (messages 257 and 259)
// and the body of the server's replies (258 and 260): their layouts, the
// writer of the one and the reader of the other. Both go field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hello {

constexpr size_t kSize = 2644;
// Up to the program fields; the full record goes out only with a program.
constexpr size_t kShortSize = 1540;

constexpr size_t kTagOffset = 0x000;
constexpr size_t kTagSize = 8;
constexpr size_t kFlagsOffset = 0x008;
constexpr size_t kCarriedOffset = 0x00C;
constexpr size_t kSlotCountOffset = 0x016;
constexpr size_t kSlotTableOffset = 0x018;
constexpr size_t kLogonOffset = 0x158;
constexpr size_t kLogonChars = 33;
constexpr size_t kLogonMaxChars = 31;
constexpr size_t kPasswordOffset = 0x19A;
constexpr size_t kPasswordChars = 31;
constexpr size_t kPasswordMaxChars = 30;
constexpr size_t kWidthOffset = 0x1D8;
constexpr size_t kHeightOffset = 0x1DC;
constexpr size_t kDepthOffset = 0x1E0;
constexpr size_t kDisplayBlockOffset = 0x1E4;
constexpr size_t kDisplayBlockSize = 796;
constexpr size_t kAudioBlockOffset = 0x500;
constexpr size_t kAudioBlockSize = 128;
constexpr size_t kKeyBitsOffset = 0x508;
constexpr size_t kWrappedKeyOffset = 0x50C;
constexpr size_t kWrappedKeyTailOffset = 0x51C;
constexpr size_t kKeyDigestOffset = 0x520;
constexpr size_t kWrappedKeyRestOffset = 0x3C8;
constexpr size_t kExchangeOffset = 0x588;
constexpr size_t kExchangeSize = 16;
constexpr size_t kSessionWordOffset = 0x5CC;
constexpr size_t kWorkingDirOffset = 0x604;
constexpr size_t kProgramPathOffset = 0x80C;
constexpr size_t kPathChars = 260;

// Flags word.
constexpr uint16_t kFlagsBase = 8;
constexpr uint16_t kFlagProgram = 2;
constexpr uint16_t kFlagEncryptedAgain = 1;
constexpr uint16_t kAnnouncementFlags = 12;
// The encrypted session's first message: the code and the fields up to the
// slot count.
constexpr size_t kAnnouncementSize = 28;

constexpr size_t kMaxSlots = 20;
constexpr size_t kSlotEntrySize = 16;
constexpr size_t kModeWords = 20;

// The regions the encrypted hello hides, in the order they are gathered.
struct Region {
  size_t offset;
  size_t size;
};
constexpr Region kSealedRegions[] = {{0x016, 946}, {0x434, 212}, {0x530, 212}, {0x604, 1040}};
// The first three, or all four when the record carries a program.
constexpr size_t kShortSealedRegions = 3;
// The block transform's level over the sealed regions and the replies.
constexpr uint8_t kSealedLevel = 3;

}  // namespace hello

struct SlotTableEntry {
  char name[8] = {};
  uint16_t a = 0;
  uint16_t b = 0;
  uint16_t flags = 0;
};

// Everything the hello says, as values; WriteHelloRecord lays them out.
struct HelloContent {
  HelloContent() = default;
  HelloContent(const HelloContent&) = delete;
  HelloContent& operator=(const HelloContent&) = delete;
  ~HelloContent();  // wipes the password

  char tag[hello::kTagSize] = {};
  uint16_t flags = hello::kFlagsBase;
  std::vector<SlotTableEntry> slotTable;  // at most 20
  std::u16string logon;               // cut to 31 characters
  std::u16string password;            // cut to 30 characters
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t depth = 0;
  uint32_t modeWords[hello::kModeWords] = {};
  uint32_t cursorWord = 0;
  uint32_t capabilities = 0;
  uint32_t extraDisplayCount = 0;
  uint32_t display2Width = 0;
  uint32_t display2Height = 0;
  int32_t display2X = 0;
  int32_t display2Y = 0;
  bool mediaBlock = true;
  uint32_t dsDecoderWord = 1;
  uint32_t h264Word = 0;
  uint32_t dxvaWord = 0;
  uint32_t mediaFoundationWord = 0;
  uint32_t audioSync = 0;
  uint32_t sessionWord = 0;
  std::u16string workingDir;   // cut to 259 characters
  std::u16string programPath;  // cut to 259 characters
};

// Writes the whole record (hello::kSize bytes) into out; false when out is
// smaller or the table has more than 20 entries.
bool WriteHelloRecord(const HelloContent& content, uint8_t* out, size_t size);

// Little-endian fields of a record, bounded by its size.
void PutU16At(uint8_t* record, size_t size, size_t offset, uint16_t value);
void PutU32At(uint8_t* record, size_t size, size_t offset, uint32_t value);
void PutBytesAt(uint8_t* record, size_t size, size_t offset, const void* data, size_t n);
uint16_t GetU16At(const uint8_t* record, size_t size, size_t offset);
uint32_t GetU32At(const uint8_t* record, size_t size, size_t offset);
// Copies n bytes; false (and zeros) when they are not all inside.
bool GetBytesAt(const uint8_t* record, size_t size, size_t offset, void* out, size_t n);

class CSessionCipher;
// Runs the cipher's block transform over the sealed regions of a hello
// record, gathered into one block (all four when the record's flags carry a
// program) and scattered back. The digest goes in and comes out with the
// block. The cipher's answer, or its failure code for a short record.
int32_t CryptSealedRegions(CSessionCipher* cipher, uint8_t* record, size_t size, uint8_t blockFlags,
                           uint8_t digest[16]);

// The body of a server reply (the payload behind the u32 code).
struct ServerReply {
  static constexpr size_t kMinBody = 488;   // a 492-byte reply
  static constexpr size_t kFullBody = 2028;  // a 2032-byte reply
  static constexpr size_t kEntriesOffset = 0x1A;
  static constexpr size_t kExchangeOffset = 0x15A;
  static constexpr size_t kDisplayBlockOffset = 0x1E8;
  static constexpr size_t kAlignOffset = 0x634;
  static constexpr uint32_t kAlignBit = 0x8000;
  static constexpr uint8_t kExchangePresent = 1;

  char tag[hello::kTagSize] = {};
  uint8_t flags = 0;
  uint16_t versionHigh = 0;
  uint16_t versionLow = 0;
  uint16_t exchangeWord = 0;
  uint16_t slotCount = 0;
  uint8_t entries[hello::kMaxSlots][hello::kSlotEntrySize] = {};
  uint8_t exchangeValue[hello::kExchangeSize] = {};
  bool full = false;     // a 2032-byte reply: display block and align word
  uint32_t alignWord = 0;

  uint32_t Version() const { return (static_cast<uint32_t>(versionHigh) << 16) | versionLow; }
};

// Reads a reply body of at least 488 bytes; false when it is shorter. The
// entries beyond the body's 20 are not read.
bool ReadServerReply(const uint8_t* body, size_t length, ServerReply* out);
