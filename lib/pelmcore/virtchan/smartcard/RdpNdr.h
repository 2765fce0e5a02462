// NDR 2.0 (little-endian) with type serialization version 1, for the smart-card
// call and return structures.
//
// Every structure describes its fields once, in a member template
//   template <class V> void Ndr(V& v) { v.U32(a); v.Count(n, 0, 16); v.Blob(p, n); }
// and three walkers read that description: NdrReader decodes, NdrWriter over
// a ByteWriter encodes and NdrWriter over a counting sink sizes the output.
//
// Embedded pointers are unique pointers: the flat part carries a referent id
// (0 for null) and the pointee follows after the whole outer structure, in
// the order the ids appeared; a pointee's own pointees follow right after it
// (depth first); the pointees of an array's elements follow the whole array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sys/ByteReader.h"
#include "sys/ByteWriter.h"

namespace rdpesc {

// What can be wrong with a record, and the RPC status each fault gives.
enum class NdrFault {
  kShortBuffer,     // a field runs past the end of the object
  kBadVersion,      // common header version is not 1
  kBadHeader,       // not little-endian, header length not 8, object length past the buffer
  kOutOfRange,      // a count outside the range of its definition
  kCountMismatch,   // an array's conformance differs from its count field
  kBadString,       // string offset not 0, or actual count above the maximum or 0
  kNoTerminator,    // a string whose last character is not NUL, or with an inner NUL
  kNoHandle,        // the decoding handle could not be opened
  kNoMemory,        // the output could not be allocated
};

struct NdrFaultCode {
  NdrFault fault;
  uint32_t code;
  const char* text;
};

// One table: the status a decode or encode returns for each fault.
extern const NdrFaultCode kNdrFaultCodes[];
extern const size_t kNdrFaultCodeCount;
uint32_t CodeOf(NdrFault fault);

constexpr uint32_t kRpcBadStubData = 1783;     // RPC_X_BAD_STUB_DATA
constexpr uint32_t kRpcInvalidBound = 1734;    // RPC_X_INVALID_BOUND
constexpr uint32_t kRpcWrongEsVersion = 1828;  // RPC_X_WRONG_ES_VERSION
constexpr uint32_t kEFail = 0x80004005;        // E_FAIL
constexpr uint32_t kOutOfMemory = 14;          // ERROR_OUTOFMEMORY

// A unique pointer to a conformant byte array sized by a count field.
struct NdrBlob {
  bool present = false;
  std::vector<uint8_t> bytes;

  static NdrBlob Of(const void* data, size_t n) {
    NdrBlob b;
    b.present = true;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    b.bytes.assign(p, p + n);
    return b;
  }
  const uint8_t* Data() const { return present && !bytes.empty() ? bytes.data() : nullptr; }
  bool operator==(const NdrBlob& o) const { return present == o.present && bytes == o.bytes; }
};

// A unique pointer to a NUL-terminated string ([string] char* or wchar_t*).
// The text holds the characters without the terminator.
template <class CharT>
struct NdrStr {
  bool present = false;
  std::basic_string<CharT> text;

  static NdrStr Of(std::basic_string<CharT> s) {
    NdrStr r;
    r.present = true;
    r.text = std::move(s);
    return r;
  }
  bool operator==(const NdrStr& o) const { return present == o.present && text == o.text; }
};
using NdrStrA = NdrStr<char>;
using NdrStrW = NdrStr<char16_t>;

// A unique pointer to a conformant array of structures sized by a count field.
template <class T>
struct NdrList {
  bool present = false;
  std::vector<T> items;
  bool operator==(const NdrList& o) const { return present == o.present && items == o.items; }
};

// A unique pointer to one structure.
template <class T>
struct NdrOpt {
  bool present = false;
  T value{};
  bool operator==(const NdrOpt& o) const { return present == o.present && (!present || value == o.value); }
};

// Pointees waiting for the end of the flat part that named them.
class NdrDeferred {
 public:
  void Add(std::function<void()> f) { pending_.push_back(std::move(f)); }
  std::vector<std::function<void()>> Take() { return std::move(pending_); }

 private:
  std::vector<std::function<void()>> pending_;
};

// Shared walking logic: the deferral levels and the first fault.
class NdrWalker {
 public:
  uint32_t Error() const { return error_; }
  bool Failed() const { return error_ != 0; }
  void Fail(NdrFault fault) {
    if (!error_) error_ = CodeOf(fault);
  }

  // Walks a top-level structure: its flat part, then its pointees.
  template <class Self, class T>
  static void Top(Self& self, T& s) {
    NdrDeferred level;
    NdrDeferred* outer = self.level_;
    self.level_ = &level;
    self.Align(4);
    s.Ndr(self);
    self.level_ = outer;
    self.RunLevel(level);
  }

 protected:
  // Runs each pointee with a level of its own, so its pointees follow it.
  void RunLevel(NdrDeferred& level) {
    for (auto& f : level.Take()) {
      if (Failed()) return;
      NdrDeferred inner;
      NdrDeferred* outer = level_;
      level_ = &inner;
      f();
      level_ = outer;
      RunLevel(inner);
    }
  }
  void Defer(std::function<void()> f) { level_->Add(std::move(f)); }

  NdrDeferred* level_ = nullptr;
  uint32_t error_ = 0;
};

class NdrReader : public NdrWalker {
 public:
  NdrReader(const uint8_t* body, size_t length) : in_(body, length) {}

  void Align(size_t n) {
    const size_t pad = (n - in_.Position() % n) % n;
    in_.Skip(pad);
    Check();
  }
  void U16(uint16_t& x) {
    Align(2);
    x = in_.U16();
    Check();
  }
  void U32(uint32_t& x) {
    Align(4);
    x = in_.U32();
    Check();
  }
  void Count(uint32_t& x, uint32_t lo, uint32_t hi) {
    U32(x);
    if (!Failed() && (x < lo || x > hi)) Fail(NdrFault::kOutOfRange);
  }
  template <size_t N>
  void Fixed(std::array<uint8_t, N>& a) {
    in_.Bytes(a.data(), N);
    Check();
  }
  template <class T>
  void Struct(T& s) {
    Align(4);
    s.Ndr(*this);
  }
  void Blob(NdrBlob& b, const uint32_t& count) {
    b.present = Referent();
    if (!b.present) return;
    Defer([this, &b, &count] {
      const uint32_t max = Conformance(count);
      if (Failed()) return;
      b.bytes.resize(max);
      in_.Bytes(b.bytes.data(), max);
      Check();
    });
  }
  template <class CharT>
  void Str(NdrStr<CharT>& s) {
    s.present = Referent();
    if (!s.present) return;
    Defer([this, &s] { ReadString(s); });
  }
  template <class T>
  void List(NdrList<T>& l, const uint32_t& count) {
    l.present = Referent();
    if (!l.present) return;
    Defer([this, &l, &count] {
      const uint32_t max = Conformance(count);
      if (Failed()) return;
      l.items.resize(max);
      for (T& item : l.items) {
        Struct(item);
        if (Failed()) return;
      }
    });
  }
  template <class T>
  void Opt(NdrOpt<T>& o) {
    o.present = Referent();
    if (!o.present) return;
    Defer([this, &o] { Struct(o.value); });
  }

 private:
  friend class NdrWalker;
  void Check() {
    if (!in_.Ok()) Fail(NdrFault::kShortBuffer);
  }
  bool Referent() {
    uint32_t id = 0;
    U32(id);
    return !Failed() && id != 0;
  }
  // The maximum count of a conformant array, which must equal its count
  // field and fit in what is left (every element takes at least a byte).
  uint32_t Conformance(uint32_t count) {
    uint32_t max = 0;
    U32(max);
    if (Failed()) return 0;
    if (max != count) Fail(NdrFault::kCountMismatch);
    else if (max > in_.Remaining()) Fail(NdrFault::kShortBuffer);
    return Failed() ? 0 : max;
  }
  template <class CharT>
  void ReadString(NdrStr<CharT>& s) {
    uint32_t max = 0, offset = 0, actual = 0;
    U32(max);
    U32(offset);
    U32(actual);
    if (Failed()) return;
    if (offset != 0 || actual == 0 || actual > max) return Fail(NdrFault::kBadString);
    if (uint64_t{actual} * sizeof(CharT) > in_.Remaining()) return Fail(NdrFault::kShortBuffer);
    s.text.resize(actual);
    for (uint32_t i = 0; i < actual; ++i) {
      s.text[i] = static_cast<CharT>(sizeof(CharT) == 1 ? in_.U8() : in_.U16());
    }
    Check();
    if (s.text.back() != 0 || s.text.find(CharT(0)) != actual - 1) return Fail(NdrFault::kNoTerminator);
    s.text.pop_back();
  }

  ByteReader in_;
};

// Counts what a ByteWriter would write.
class NdrCountingSink {
 public:
  void U8(uint8_t) { pos_ += 1; }
  void U16(uint16_t) { pos_ += 2; }
  void U32(uint32_t) { pos_ += 4; }
  void Bytes(const void*, size_t n) { pos_ += n; }
  void Zeros(size_t n) { pos_ += n; }
  bool Ok() const { return true; }
  size_t Position() const { return pos_; }

 private:
  size_t pos_ = 0;
};

// Writes (over a ByteWriter) or sizes (over an NdrCountingSink) a structure.
// Positions are relative to the start of the NDR data.
template <class Sink>
class NdrWriter : public NdrWalker {
 public:
  NdrWriter(Sink& out, size_t origin) : out_(out), origin_(origin) {}

  void Align(size_t n) {
    const size_t pos = out_.Position() - origin_;
    out_.Zeros((n - pos % n) % n);
  }
  void U16(const uint16_t& x) {
    Align(2);
    out_.U16(x);
  }
  void U32(const uint32_t& x) {
    Align(4);
    out_.U32(x);
  }
  void Count(const uint32_t& x, uint32_t lo, uint32_t hi) {
    if (x < lo || x > hi) Fail(NdrFault::kOutOfRange);
    U32(x);
  }
  template <size_t N>
  void Fixed(const std::array<uint8_t, N>& a) {
    out_.Bytes(a.data(), N);
  }
  template <class T>
  void Struct(T& s) {
    Align(4);
    s.Ndr(*this);
  }
  void Blob(const NdrBlob& b, const uint32_t& count) {
    if (!Referent(b.present)) return;
    if (b.bytes.size() != count) return Fail(NdrFault::kCountMismatch);
    Defer([this, &b] {
      U32(static_cast<uint32_t>(b.bytes.size()));
      out_.Bytes(b.bytes.data(), b.bytes.size());
    });
  }
  template <class CharT>
  void Str(const NdrStr<CharT>& s) {
    if (!Referent(s.present)) return;
    if (s.text.find(CharT(0)) != std::basic_string<CharT>::npos) return Fail(NdrFault::kNoTerminator);
    Defer([this, &s] {
      const uint32_t n = static_cast<uint32_t>(s.text.size() + 1);
      U32(n);
      U32(0);
      U32(n);
      for (CharT c : s.text) Char(c);
      Char(CharT(0));
    });
  }
  template <class T>
  void List(NdrList<T>& l, const uint32_t& count) {
    if (!Referent(l.present)) return;
    if (l.items.size() != count) return Fail(NdrFault::kCountMismatch);
    Defer([this, &l] {
      U32(static_cast<uint32_t>(l.items.size()));
      for (T& item : l.items) Struct(item);
    });
  }
  template <class T>
  void Opt(NdrOpt<T>& o) {
    if (!Referent(o.present)) return;
    Defer([this, &o] { Struct(o.value); });
  }

 private:
  friend class NdrWalker;
  bool Referent(bool present) {
    if (!present) {
      U32(0);
      return false;
    }
    U32(nextReferent_);
    nextReferent_ += 4;
    return true;
  }
  void Char(char c) { out_.U8(static_cast<uint8_t>(c)); }
  void Char(char16_t c) { out_.U16(static_cast<uint16_t>(c)); }

  Sink& out_;
  size_t origin_;
  uint32_t nextReferent_ = 0x00020000;
};

// Type serialization version 1: common header, private header, NDR data.
constexpr size_t kPickleHeaderSize = 16;

// Decodes one structure from a whole pickled buffer; 0 or a fault's code.
template <class T>
uint32_t NdrDecode(const uint8_t* data, size_t length, T& out);
// Encodes one structure into a pickled buffer; 0 or a fault's code.
template <class T>
uint32_t NdrEncode(T& s, std::vector<uint8_t>& out);

// Checks the two headers; on success body and bodyLength hold the NDR data.
uint32_t NdrOpenPickle(const uint8_t* data, size_t length, const uint8_t** body, size_t* bodyLength);
// Writes the two headers for an NDR body of the given length.
void NdrWritePickleHeader(ByteWriter& w, uint32_t bodyLength);

template <class T>
uint32_t NdrDecode(const uint8_t* data, size_t length, T& out) {
  const uint8_t* body = nullptr;
  size_t bodyLength = 0;
  if (uint32_t e = NdrOpenPickle(data, length, &body, &bodyLength)) return e;
  NdrReader reader(body, bodyLength);
  NdrWalker::Top(reader, out);
  return reader.Error();
}

template <class T>
uint32_t NdrEncode(T& s, std::vector<uint8_t>& out) {
  NdrCountingSink counter;
  NdrWriter<NdrCountingSink> sizer(counter, 0);
  NdrWalker::Top(sizer, s);
  if (sizer.Failed()) return sizer.Error();
  // The object length is a multiple of 8.
  const size_t body = (counter.Position() + 7) & ~size_t{7};
  if (body > 0xFFFFFFF0u) return CodeOf(NdrFault::kNoMemory);
  out.assign(kPickleHeaderSize + body, 0);
  ByteWriter bytes(out.data(), out.size());
  NdrWritePickleHeader(bytes, static_cast<uint32_t>(body));
  NdrWriter<ByteWriter> writer(bytes, kPickleHeaderSize);
  NdrWalker::Top(writer, s);
  if (writer.Failed() || !bytes.Ok()) {
    out.clear();
    return writer.Failed() ? writer.Error() : CodeOf(NdrFault::kNoMemory);
  }
  return 0;
}

}  // namespace rdpesc
