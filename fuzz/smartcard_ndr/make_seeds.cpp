// Writes the seed corpus from the golden vectors of tests/smartcard (run by
// hand: make_seeds <corpus folder>). Vectors above 8 KiB stay out.
#include <cstdio>
#include <fstream>
#include <string>

#include "GoldenVectors.h"
#include "NdrFuzzTable.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto& table = ndrfuzz::Table();
  for (const scardsamples::Vector& v : scardsamples::Vectors()) {
    if (v.bytes.size() > 8192) continue;
    std::string type = v.name.substr(0, v.name.find(' '));
    if (type == "ListReaderGroups_Return") type = "ListReaders_Return";
    for (size_t i = 0; i < table.size(); ++i) {
      if (type != table[i].name) continue;
      std::string file = v.name;
      for (char& c : file) c = (c == ' ') ? '-' : c;
      std::ofstream out(std::string(argv[1]) + "/" + file, std::ios::binary);
      out.put(static_cast<char>(i));
      out.write(reinterpret_cast<const char*>(v.bytes.data()), static_cast<std::streamsize>(v.bytes.size()));
    }
  }
  return 0;
}
