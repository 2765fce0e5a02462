// The smart-card structures as positional JSON, read and written through the
// same field descriptions as the codec: a structure is an array of its
// fields in order; a 32-bit or 16-bit value a number; a fixed byte array a
// hex string; a unique pointer null or its pointee (byte blocks as hex,
// strings as UTF-8 text, arrays of structures as arrays).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "RdpNdr.h"
#include "pelplat/utf16.h"

namespace scardsamples {

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

inline std::vector<uint8_t> Unhex(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string Text(const std::string& s) { return s; }
inline std::string Text(const std::u16string& s) { return Utf16ToUtf8(s); }
inline void FromText(const std::string& t, std::string& s) { s = t; }
inline void FromText(const std::string& t, std::u16string& s) { s = Utf8ToUtf16(t); }

class JsonWriter {
 public:
  explicit JsonWriter(nlohmann::json* out) : cur_(out) {}
  void U16(const uint16_t& x) { cur_->push_back(x); }
  void U32(const uint32_t& x) { cur_->push_back(x); }
  void Count(const uint32_t& x, uint32_t, uint32_t) { U32(x); }
  template <size_t N>
  void Fixed(const std::array<uint8_t, N>& a) { cur_->push_back(Hex(a.data(), N)); }
  template <class T>
  void Struct(T& s) { cur_->push_back(Walk(s)); }
  void Blob(const rdpesc::NdrBlob& b, const uint32_t&) {
    cur_->push_back(b.present ? nlohmann::json(Hex(b.bytes.data(), b.bytes.size())) : nlohmann::json());
  }
  template <class CharT>
  void Str(const rdpesc::NdrStr<CharT>& s) {
    cur_->push_back(s.present ? nlohmann::json(Text(s.text)) : nlohmann::json());
  }
  template <class T>
  void List(rdpesc::NdrList<T>& l, const uint32_t&) {
    if (!l.present) return cur_->push_back(nlohmann::json());
    nlohmann::json items = nlohmann::json::array();
    for (T& item : l.items) items.push_back(Walk(item));
    cur_->push_back(items);
  }
  template <class T>
  void Opt(rdpesc::NdrOpt<T>& o) { cur_->push_back(o.present ? Walk(o.value) : nlohmann::json()); }

  template <class T>
  static nlohmann::json Walk(T& s) {
    nlohmann::json j = nlohmann::json::array();
    JsonWriter w(&j);
    s.Ndr(w);
    return j;
  }

 private:
  nlohmann::json* cur_;
};

class JsonReader {
 public:
  explicit JsonReader(const nlohmann::json& in) : in_(in) {}
  void U16(uint16_t& x) { x = Next().get<uint16_t>(); }
  void U32(uint32_t& x) { x = Next().get<uint32_t>(); }
  void Count(uint32_t& x, uint32_t, uint32_t) { U32(x); }
  template <size_t N>
  void Fixed(std::array<uint8_t, N>& a) {
    const std::vector<uint8_t> b = Unhex(Next().get<std::string>());
    a.fill(0);
    std::copy(b.begin(), b.begin() + std::min(b.size(), N), a.begin());
  }
  template <class T>
  void Struct(T& s) { Walk(Next(), s); }
  void Blob(rdpesc::NdrBlob& b, const uint32_t&) {
    const nlohmann::json& j = Next();
    b.present = !j.is_null();
    if (b.present) b.bytes = Unhex(j.get<std::string>());
  }
  template <class CharT>
  void Str(rdpesc::NdrStr<CharT>& s) {
    const nlohmann::json& j = Next();
    s.present = !j.is_null();
    if (s.present) FromText(j.get<std::string>(), s.text);
  }
  template <class T>
  void List(rdpesc::NdrList<T>& l, const uint32_t&) {
    const nlohmann::json& j = Next();
    l.present = !j.is_null();
    l.items.clear();
    if (!l.present) return;
    for (const nlohmann::json& item : j) {
      l.items.emplace_back();
      Walk(item, l.items.back());
    }
  }
  template <class T>
  void Opt(rdpesc::NdrOpt<T>& o) {
    const nlohmann::json& j = Next();
    o.present = !j.is_null();
    if (o.present) Walk(j, o.value);
  }

  template <class T>
  static void Walk(const nlohmann::json& j, T& s) {
    JsonReader r(j);
    s.Ndr(r);
  }

 private:
  const nlohmann::json& Next() { return in_.at(pos_++); }
  const nlohmann::json& in_;
  size_t pos_ = 0;
};

template <class T>
nlohmann::json ToJson(T& s) {
  return JsonWriter::Walk(s);
}

template <class T>
void FromJson(const nlohmann::json& j, T& s) {
  JsonReader::Walk(j, s);
}

}  // namespace scardsamples
