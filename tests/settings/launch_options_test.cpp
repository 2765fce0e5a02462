// Launch options from the argument list and the launch file's accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "SettingsTestEnv.h"
#include "cli/LaunchOptions.h"
#include "pelplat/utf16.h"

using nlohmann::json;

namespace {

CLaunchOptions Scan(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  CLaunchOptions options;
  options.Scan(static_cast<int>(argv.size()), argv.data());
  return options;
}

std::string WriteTemp(const TestFolders& folders, const std::string& name, const std::string& text) {
  std::string path = folders.Root() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const std::string& line : lines) n += line.find(text) != std::string::npos;
  return n;
}

}  // namespace

TEST(LaunchOptions, ScanTakesValuesAndFlags) {
  struct Case {
    std::vector<std::string> args;
    std::string a, p, x;
    bool dual, noTovix;
  } cases[] = {
      {{"pellum"}, "", "", "", false, false},
      {{"pellum", "-a", "host", "-p", "1234"}, "host", "1234", "", false, false},
      {{"pellum", "-a"}, "", "", "", false, false},                  // value missing at the end
      {{"pellum", "-a", "one", "-a", "two"}, "one", "", "", false, false},  // the first one counts
      {{"pellum", "-p", "-dual"}, "", "-dual", "", true, false},     // a flag found anywhere
      {{"pellum", "-no-tovix", "-DUAL", "-Dual"}, "", "", "", false, true},
      {{"-dual"}, "", "", "", true, false},                           // the program path is scanned too
  };
  for (const Case& c : cases) {
    CLaunchOptions o = Scan(c.args);
    EXPECT_EQ(1, o.scanned);
    EXPECT_EQ(c.a, o.address);
    EXPECT_EQ(c.p, o.port);
    EXPECT_EQ(c.x, o.jsonPath);
    EXPECT_EQ(c.dual, o.dual != 0);
    EXPECT_EQ(c.noTovix, o.noTovix != 0);
    EXPECT_EQ(0, o.jsonFlag);
  }
}

TEST(LaunchOptions, ScanHappensOnce) {
  std::vector<std::string> first = {"pellum", "-dual"};
  std::vector<std::string> second = {"pellum", "-a", "x"};
  std::vector<char*> argv1 = {first[0].data(), first[1].data()};
  std::vector<char*> argv2 = {second[0].data(), second[1].data(), second[2].data()};
  CLaunchOptions o;
  o.Scan(2, argv1.data());
  o.Scan(3, argv2.data());
  EXPECT_EQ(1, o.dual);
  EXPECT_EQ("", o.address);
}

TEST(LaunchOptions, LaunchFileStates) {
  TestFolders folders;
  LogCapture log;
  const std::string good = WriteTemp(folders, "good.json", R"({"Pellum":{"server":{"address":"h"}}})");
  const std::string bad = WriteTemp(folders, "bad.json", R"({"Pellum": {"server": )");
  const std::string missing = folders.Root() + "/missing.json";

  CLaunchOptions last = Scan({"pellum", "-x"});
  EXPECT_EQ(0, last.jsonFlag);

  CLaunchOptions ok = Scan({"pellum", "-x", good});
  EXPECT_EQ(1, ok.jsonFlag);
  EXPECT_EQ("h", GetLaunchServerAddress(ok.json));
  EXPECT_TRUE(log.Lines().empty());

  CLaunchOptions absent = Scan({"pellum", "-x", missing});
  EXPECT_EQ(1, absent.jsonFlag);
  EXPECT_TRUE(absent.json.is_null());
  auto lines = log.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("pelm: Important failure during json command line processing " + missing + "\n", lines[0]);

  CLaunchOptions broken = Scan({"pellum", "-x", bad});
  EXPECT_EQ(1, broken.jsonFlag);
  EXPECT_TRUE(broken.json.is_null());
  lines = log.Lines();
  EXPECT_EQ(3u, lines.size());  // the parser's error, then the path
  EXPECT_EQ(3u, CountContaining(lines, "Important failure during json command line processing"));
  EXPECT_EQ(1u, CountContaining(lines, bad));
}

TEST(LaunchOptions, AnOversizedLaunchFileIsRefusedUnread) {
  TestFolders folders;
  LogCapture log;
  std::string text = "{\"a\":\"" + std::string(CLaunchOptions::kMaxLaunchFileBytes, 'x') + "\"}";
  const std::string path = WriteTemp(folders, "huge.json", text);
  EXPECT_TRUE(CLaunchOptions::LoadJsonFile(path).is_null());
  EXPECT_EQ(1u, CountContaining(log.Lines(), "is larger than"));
  // Just under the cap still loads.
  text = "{\"a\":\"" + std::string(1000, 'x') + "\"}";
  EXPECT_TRUE(CLaunchOptions::LoadJsonFile(WriteTemp(folders, "fine.json", text)).is_object());
}

TEST(LaunchOptions, MalformedDocumentsNeverCrash) {
  TestFolders folders;
  LogCapture log;
  const std::string documents[] = {
      "", "{", "[1,2", "\"unterminated", "{\"a\":}", std::string(100000, '['), "\xff\xfe{}", "nul",
  };
  int i = 0;
  for (const std::string& text : documents) {
    std::string path = WriteTemp(folders, "doc" + std::to_string(i++) + ".json", text);
    EXPECT_TRUE(CLaunchOptions::LoadJsonFile(path).is_null()) << text.substr(0, 20);
  }
  EXPECT_EQ(i, static_cast<int>(CountContaining(log.Lines(), "Important failure during json")));
}

TEST(LaunchFileAccessors, GetJsonInt) {
  json object = json::parse(R"({"n": 1920, "neg": -5, "f": 2.9, "s": "12", "b": true,
                                "big": 4294967296, "huge": -1e20})");
  object["nan"] = std::nan("");
  EXPECT_EQ(1920, GetJsonInt(object, "n", 0));
  EXPECT_EQ(-5, GetJsonInt(object, "neg", 0));
  EXPECT_EQ(2, GetJsonInt(object, "f", 0));
  EXPECT_EQ(-1, GetJsonInt(object, "missing", -1));
  for (const char* key : {"s", "b", "big", "huge", "nan"}) {
    try {
      GetJsonInt(object, key, 0);
      ADD_FAILURE() << key << " gave a number";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("cannot use at()", e.what());
    }
  }
  EXPECT_THROW(GetJsonInt(json::array(), "n", 0), std::runtime_error);
  EXPECT_THROW(GetJsonInt(json(), "n", 0), std::runtime_error);
}

TEST(LaunchFileAccessors, BoolsAndTexts) {
  const json object = json::parse(R"({"t": true, "one": 1, "s": "text", "n": 5})");
  EXPECT_TRUE(GetJsonBool(object, "t", false));
  EXPECT_FALSE(GetJsonBool(object, "one", false));  // not a boolean
  EXPECT_TRUE(GetJsonBool(object, "missing", true));
  EXPECT_TRUE(GetJsonBool(json::array(), "t", true));
  EXPECT_EQ("text", GetJsonMiscText(object, "s"));
  EXPECT_EQ("", GetJsonMiscText(object, "n"));
  EXPECT_EQ("", GetJsonMiscText(json("str"), "s"));
}

TEST(LaunchFileAccessors, WideTextsAreDecodedAndCutOnCharacters) {
  struct Case {
    std::string value;  // UTF-8
    size_t capacity;
    std::u16string expected;
  } cases[] = {
      {"plain", 64, u"plain"},
      {"Jürgen Øster", 64, u"Jürgen Øster"},
      {"пароль", 64, u"пароль"},
      {std::string(70, 'p'), 64, std::u16string(63, u'p')},
      {std::string(62, 'a') + "\xF0\x9F\x98\x80", 64, std::u16string(62, u'a')},  // no half pair
      {std::string(62, 'a') + "ä", 64, std::u16string(62, u'a') + u"ä"},
      {"bad\xff" "byte", 64, u"bad\uFFFDbyte"},
  };
  for (const Case& c : cases) {
    json object = {{"k", c.value}};
    std::vector<WCHAR> buffer(c.capacity + 1, u'#');
    GetJsonTextW(buffer.data(), c.capacity, object, "k");
    EXPECT_EQ(c.expected, std::u16string(buffer.data()));
    EXPECT_EQ(u'#', buffer[c.capacity]);
  }
  WCHAR buffer[8] = u"old";
  GetJsonTextW(buffer, 8, json{{"k", 5}}, "k");
  EXPECT_EQ(0, buffer[0]);  // cleared even when the value is not a string
}

TEST(LaunchFileAccessors, ServerAddressGroupAndMiscFlags) {
  const json doc = json::parse(R"({"Pellum": {"server": {"address": "@", "srvgroup": ["a", "b", "c"]},
                                              "misc": {"ShowNormalMessages": false}}})");
  EXPECT_EQ("@", GetLaunchServerAddress(doc));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), GetLaunchServerGroup(doc));
  EXPECT_FALSE(GetJsonMiscFlag(doc, "ShowNormalMessages", true));
  EXPECT_TRUE(GetJsonMiscFlag(doc, "ShowSystemMessages", true));

  const char* broken[] = {
      R"({"Pellum": {"server": {"srvgroup": ["a", 5]}}})",
      R"({"Pellum": {"server": {"srvgroup": "a"}}})",
      R"({"Pellum": {"server": []}})",
      R"({"Pellum": []})",
      R"([])",
      R"(null)",
  };
  for (const char* text : broken) {
    const json d = json::parse(text);
    EXPECT_TRUE(GetLaunchServerGroup(d).empty()) << text;
    EXPECT_EQ("", GetLaunchServerAddress(d)) << text;
    EXPECT_FALSE(GetJsonMiscFlag(d, "ShowNormalMessages", false)) << text;
  }
}

TEST(LaunchFileAccessors, EightBitTextsAreCutWithoutSplittingCharacters) {
  char field[32];
  std::memset(field, 'x', sizeof field);
  CopyLaunchText(field, sizeof field, std::string(40, 'd'));
  EXPECT_EQ(std::string(31, 'd'), std::string(field));
  CopyLaunchText(field, sizeof field, std::string(30, 'd') + "é");  // 32 bytes
  EXPECT_EQ(std::string(30, 'd'), std::string(field));
  CopyLaunchText(field, sizeof field, "short");
  EXPECT_EQ("short", std::string(field));
  EXPECT_EQ(0, field[31]);
}
