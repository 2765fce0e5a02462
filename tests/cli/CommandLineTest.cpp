// The command line: splitting into entries, the execution rules, the help
// text and the four commands against real settings objects in a private
// folder tree.
#include <gtest/gtest.h>

#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "../settings/SettingsTestEnv.h"
#include "cli/CLICommands.h"
#include "cli/CLIParser.h"
#include "pelplat/utf16.h"
#include "settings/ProfileNames.h"
#include "settings/QtClientSettings.h"
#include "settings/QtText.h"

namespace {

const char kOrganisation[] = "Vantorel";
const char kProduct[] = "Kelvane Vesk Client for Windows";
const QString kBanner = QStringLiteral("Kelvane Vesk Client Version 2.5.0.2");

// A parser over the given arguments (program path added) that prints into
// a string and sees a terminal when told to.
struct Harness {
  explicit Harness(std::vector<std::string> args, bool terminal = false)
      : parser(kBanner, [this](const QString& text) { output += text; },
               [terminal](int) { return terminal; }) {
    args.insert(args.begin(), "pellum");
    storage = std::move(args);
    for (std::string& a : storage) argv.push_back(a.data());
    CCLICommand* commands[] = {&url, &help, &ip, &profile};
    parser.RegisterCommands(4, commands);
    parser.Parse(static_cast<int>(argv.size()), argv.data());
  }
  int32_t Run() {
    parser.AttachParentConsole();
    const int32_t status = parser.Execute();
    parser.DetachConsole();
    return status;
  }

  CCmfUrlCommand url;
  CHelpCommand help;
  CIPCommand ip;
  CProfileCommand profile;
  std::vector<std::string> storage;
  std::vector<char*> argv;
  QString output;
  CCLIParser parser;
};

// A command that answers what it is told and counts its calls.
class ScriptedCommand : public CCLICommand {
 public:
  ScriptedCommand(const char* name, int32_t answer) : CCLICommand(QString::fromLatin1(name)), answer(answer) {}
  int32_t Execute(const QStringList& parameters) override {
    ++calls;
    seen = parameters;
    return answer;
  }
  int32_t answer;
  int calls = 0;
  QStringList seen;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api.modes = {PackSize(1920, 1080)};
    CurrentProfileName[0] = 0;
    ResetUrlConnect();
    settings = std::make_unique<QtClientSettings>(kOrganisation, kProduct, false);
  }
  void TearDown() override {
    settings.reset();
    CurrentProfileName[0] = 0;
    ResetUrlConnect();
  }
  QString History(int i) const { return ToQString(settings->serverHistory[i]); }

  TestFolders folders;
  FakeSystemApi api;
  std::unique_ptr<QtClientSettings> settings;
};

}  // namespace

TEST(CLIParser, ParseMakesOneEntryPerOptionAndDropsLeadingValues) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::pair<QString, QStringList>> entries;
  };
  const Case cases[] = {
      {{}, {}},
      {{"server1", "-ip", "10.0.0.5", "extra"}, {{"-ip", {"10.0.0.5", "extra"}}}},
      {{"-test", "silent", "-no-test", "-ip"}, {{"-test", {"silent"}}, {"-no-test", {}}, {"-ip", {}}}},
      {{"-", "x", "--y"}, {{"-", {"x"}}, {"--y", {}}}},
  };
  for (const Case& c : cases) {
    Harness h(c.args);
    ASSERT_EQ(h.parser.Entries().size(), static_cast<int>(c.entries.size()));
    for (size_t i = 0; i < c.entries.size(); ++i) {
      EXPECT_EQ(h.parser.Entries()[i].name, c.entries[i].first);
      EXPECT_EQ(h.parser.Entries()[i].parameters, c.entries[i].second);
    }
  }
}

TEST(CLIParser, ExecutionRules) {
  ScriptedCommand a("-a", 0), denied("-d", static_cast<int32_t>(E_ACCESSDENIED)), failing("-f", 7), late("-z", 0);
  QString output;
  CCLIParser parser(kBanner, [&](const QString& t) { output += t; }, [](int) { return false; });
  CCLICommand* commands[] = {&a, &denied, &failing, &late};
  parser.RegisterCommands(4, commands);

  // Nothing to do: nothing printed, the run counted.
  EXPECT_EQ(parser.Execute(), 0);
  EXPECT_EQ(parser.RunCount(), 1);
  EXPECT_TRUE(output.isEmpty());

  std::vector<std::string> args = {"pellum", "-unknown", "v", "-a", "p1", "-d", "-f", "-z"};
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  parser.Parse(static_cast<int>(argv.size()), argv.data());

  // An access refusal clears the run flag and goes on; another failure
  // stops and is returned; the banner comes once per execution.
  EXPECT_EQ(parser.Execute(), 7);
  EXPECT_FALSE(parser.IsRunning());
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(a.seen, QStringList{"p1"});
  EXPECT_EQ(denied.calls, 1);
  EXPECT_EQ(failing.calls, 1);
  EXPECT_EQ(late.calls, 0);
  EXPECT_EQ(output, kBanner + "\n");
  EXPECT_EQ(parser.Execute(), 7);
  EXPECT_EQ(output, kBanner + "\n" + kBanner + "\n");
  EXPECT_EQ(parser.RunCount(), 3);
}

TEST(CLIParser, LaterRegistrationOfANameReplacesTheEarlier) {
  ScriptedCommand first("-x", 1), second("-x", 0);
  CCLIParser parser(QString(), [](const QString&) {}, [](int) { return false; });
  CCLICommand* commands[] = {&first, &second};
  parser.RegisterCommands(2, commands);
  EXPECT_EQ(parser.FindCommand("-x"), &second);
  EXPECT_EQ(parser.FindCommand("-X"), nullptr);
}

TEST_F(CommandLineTest, HelpTextInNameOrder) {
  Harness h({"-h"});
  EXPECT_EQ(h.Run(), 0);
  EXPECT_EQ(h.output,
            kBanner + "\n"
                      "-h\t\t Display help message.\n"
                      "-ip\t\t Server IP address .\n"
                      "-s <File>\tLoad user settings from <File>.ini.\n"
                      "\n");
}

TEST_F(CommandLineTest, HelpEndsTheProgramOnlyOnTheFirstRunFromATerminal) {
  Harness withTerminal({"-h"}, true);
  withTerminal.Run();
  EXPECT_FALSE(withTerminal.parser.IsRunning());

  Harness withoutTerminal({"-h"}, false);
  withoutTerminal.Run();
  EXPECT_TRUE(withoutTerminal.parser.IsRunning());

  // A later pass (the run count is above 1) keeps running.
  Harness secondPass({"-h"}, true);
  secondPass.parser.Execute();  // run 1 without the console attached
  secondPass.Run();             // run 2 with it
  EXPECT_TRUE(secondPass.parser.IsRunning());
}

TEST_F(CommandLineTest, IpPutsTheFirstValueFirstInTheHistory) {
  settings->AddServerToHistory(u"old");
  Harness h({"server1", "-ip", "10.0.0.5", "extra"});
  EXPECT_EQ(h.Run(), 0);
  EXPECT_EQ(History(0), "10.0.0.5");
  EXPECT_EQ(History(1), "old");
  EXPECT_EQ(History(2), "");

  Harness missing({"-ip"});
  EXPECT_EQ(missing.Run(), -1);
  EXPECT_TRUE(missing.parser.IsRunning());

  const QString longAddress(300, QLatin1Char('a'));
  Harness tooLong({"-ip", longAddress.toStdString()});
  EXPECT_EQ(tooLong.Run(), 0);
  EXPECT_EQ(History(0), longAddress.left(259));
}

TEST_F(CommandLineTest, ProfileThatDoesNotExistEndsTheProgram) {
  // "-ip" before the failing "-s" runs; the "-ip" after it does not.
  Harness h({"-ip", "first", "-s", "Nowhere", "-ip", "second"});
  EXPECT_EQ(h.Run(), kProfileNotFound);
  EXPECT_FALSE(h.parser.IsRunning());
  EXPECT_TRUE(h.output.contains("Cannot open settings file : Nowhere\n"));
  EXPECT_EQ(History(0), "first");

  Harness missing({"-s"});
  EXPECT_EQ(missing.Run(), -1);
  EXPECT_TRUE(missing.parser.IsRunning());
}

TEST_F(CommandLineTest, ProfileIsLoadedAndExtraValuesReported) {
  settings->AddServerToHistory(u"work-host");
  ASSERT_EQ(settings->SaveAsUserProfile(u"Work"), 0);
  settings->Reload(true);
  settings->AddServerToHistory(u"other");

  Harness h({"-s", "Work", "more", "-ip", "after"});
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(h.parser.IsRunning());
  EXPECT_EQ(ToQString(settings->profileName), "Work");
  EXPECT_EQ(History(0), "after");
  EXPECT_EQ(History(1), "work-host");
  EXPECT_TRUE(h.output.contains("Unknown parameter: more, for command -s\n"));

  // Case matters.
  Harness wrongCase({"-s", "work"});
  EXPECT_EQ(wrongCase.Run(), kProfileNotFound);
}

TEST_F(CommandLineTest, UrlForms) {
  struct Case {
    std::vector<std::string> args;
    int32_t status;
    int32_t kind;
    QString server;
    uint64_t id;
  };
  const Case cases[] = {
      {{"-url", "ybx://host/v"}, 0, kUrlView, "host", 0},
      {{"-url", "ybx://host/c?t=1A2B&o=5"}, 0, kUrlControl, "host", 0x1A2B},
      {{"-url", "ybx://10.1.2.3:4000/s?t=ffffffffffffffff"}, 0, kUrlS, "10.1.2.3:4000", ~0ull},
      {{"-url", "ybx://host/c?t=zz"}, 0, kUrlControl, "host", 0},
      {{"-url", "ybx://host/x"}, -1, kUrlNone, "host", 0},
      {{"-url", "ybx://host/"}, -1, kUrlNone, "host", 0},
      {{"-url", "ybx://host/v?x=12"}, -1, kUrlMalformed, "host", 0},
      {{"-url", "ybx:/host"}, -1, kUrlMalformed, "", 0},
      {{"-url", "ybx://host"}, -1, kUrlMalformed, "", 0},
      {{"-url", "see ybx://host/v"}, -1, kUrlMalformed, "", 0},
      // Without the 't' the value is malformed; an id text that is empty
      // or unreadable gives 0.
      {{"-url", "ybx://host/v?"}, -1, kUrlMalformed, "host", 0},
      {{"-url", "ybx://host/v?t"}, 0, kUrlView, "host", 0},
      {{"-url", "ybx://host/c?t="}, 0, kUrlControl, "host", 0},
      {{"-url", "ybx://host/v?t=&o=1"}, 0, kUrlView, "host", 0},
      {{"-url"}, -1, kUrlNone, "", 0},
  };
  for (const Case& c : cases) {
    ResetUrlConnect();
    Harness h(c.args);
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "(none)");
    EXPECT_EQ(h.Run(), c.status);
    EXPECT_EQ(UrlConnectKind, c.kind);
    EXPECT_EQ(ToQString(g_urlServer), c.server);
    EXPECT_EQ(g_urlId, c.id);
  }
}

TEST_F(CommandLineTest, UrlValueIsCutBeforeItIsRead) {
  // 259 characters are read: the id's digits past that point are lost and
  // an over-long server leaves no '/' in the part that is read.
  const std::string id(300, '1');
  Harness h({"-url", "ybx://h/v?t=" + id});
  EXPECT_EQ(h.Run(), 0);
  EXPECT_EQ(g_urlId, ~0ull);

  ResetUrlConnect();
  Harness longServer({"-url", "ybx://" + std::string(300, 'h') + "/v"});
  EXPECT_EQ(longServer.Run(), -1);
  EXPECT_EQ(UrlConnectKind, kUrlMalformed);
}
