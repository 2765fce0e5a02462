// Helper of the impacket cross-check (ndr_oracle_test.py). Reads JSON lines:
//   {"op": "vectors"}                      -> one line per golden vector:
//       {"name", "hex", "values"}
//   {"op": "decode", "name": n, "hex": h}  -> {"status", "values"}: h decoded
//       as the structure of golden vector n
// and answers each with one JSON line.
#include <iostream>
#include <string>

#include "GoldenVectors.h"

using namespace scardsamples;

int main() {
  const std::vector<Vector> vectors = Vectors();
  std::string line;
  while (std::getline(std::cin, line)) {
    const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (request.is_discarded() || !request.contains("op")) {
      std::cout << R"({"error":"bad request"})" << std::endl;
      continue;
    }
    if (request["op"] == "vectors") {
      for (const Vector& v : vectors) {
        nlohmann::json out = {{"name", v.name}, {"hex", Hex(v.bytes.data(), v.bytes.size())}, {"values", v.values()}};
        std::cout << out.dump() << "\n";
      }
      std::cout << R"({"end":true})" << std::endl;
    } else if (request["op"] == "decode") {
      nlohmann::json out = {{"error", "no such vector"}};
      for (const Vector& v : vectors) {
        if (v.name != request["name"]) continue;
        const auto decoded = v.decodeToJson(Unhex(request["hex"].get<std::string>()));
        out = {{"status", decoded.first}, {"values", decoded.second}};
      }
      std::cout << out.dump() << std::endl;
    }
  }
  return 0;
}
