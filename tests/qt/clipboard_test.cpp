// The text clipboard between the session and the local clipboard.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <memory>
#include <string>
#include <vector>

#include "QtTestEnv.h"
#include "qt/QtClipboardInterface.h"

namespace {

using ApiPtr = std::unique_ptr<CQtSystemApi, ApiRelease>;

class TextListener : public IClipboardListener {
 public:
  int OnClipboardText(int format, const void* data, uint32_t length) override {
    const auto* chars = static_cast<const char16_t*>(data);
    texts.emplace_back(chars, length / 2);
    return 0;
  }
  std::vector<std::u16string> texts;
};

void Deliver() { QCoreApplication::processEvents(); }

TEST(ClipboardTest, SizeLimitAndSwitch) {
  QtClipboardInterface clipboard;
  std::vector<uint8_t> text(0x20000, 'a');
  EXPECT_EQ(clipboard.SetData(0, text.data(), 0x20000 - 2), 0);
  EXPECT_EQ(clipboard.SetData(0, text.data(), 0x20000 - 1), QtClipboardInterface::kTooLong);
  EXPECT_EQ(clipboard.SetData(0, text.data(), 0xFFFFFFFFu), QtClipboardInterface::kTooLong);
  clipboard.SetEnabled(false);
  EXPECT_FALSE(clipboard.IsEnabled());
  EXPECT_EQ(clipboard.SetData(0, u"x", 2), QtClipboardInterface::kDisabled);
  Deliver();
}

TEST(ClipboardTest, ServerTextReachesTheClipboardAndIsNotEchoed) {
  QtClipboardInterface clipboard;
  TextListener listener;
  clipboard.SetListener(&listener);
  const std::u16string server = u"from the server";
  // From another thread, as the session core calls it.
  std::thread([&] { clipboard.SetData(0, server.data(), uint32_t(server.size() * 2)); }).join();
  Deliver();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdU16String(server));
  EXPECT_TRUE(listener.texts.empty());

  QGuiApplication::clipboard()->setText("local");
  Deliver();
  ASSERT_EQ(listener.texts.size(), 1u);
  EXPECT_EQ(listener.texts[0], std::u16string(u"local") + u'\0');

  clipboard.SetEnabled(false);
  QGuiApplication::clipboard()->setText("hidden");
  Deliver();
  EXPECT_EQ(listener.texts.size(), 1u);
  clipboard.ClearListener(&listener);
}

TEST(ClipboardTest, EachServerTextReachesTheClipboardInTurn) {
  QtClipboardInterface clipboard;
  std::vector<QString> seen;
  auto watch = QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged,
                                [&] { seen.push_back(QGuiApplication::clipboard()->text()); });
  // Both texts are given before the GUI thread sets the first one; the
  // second ends at its terminator, the first at its last whole unit.
  std::thread([&] {
    EXPECT_EQ(clipboard.SetData(0, "f\0i\0r\0s\0t\0!", 11), 0);
    const std::u16string second(u"second\0junk", 11);
    EXPECT_EQ(clipboard.SetData(0, second.data(), uint32_t(second.size() * 2)), 0);
  }).join();
  Deliver();
  QObject::disconnect(watch);
  EXPECT_EQ(seen, (std::vector<QString>{"first", "second"}));
}

TEST(ClipboardTest, SystemApiOwnsOneClipboardAndSwitchesIt) {
  ApiPtr api(new ScreenSystemApi);
  ASSERT_NE(api->GetClipboard(), nullptr);
  EXPECT_TRUE(api->IsClipboardEnabled());
  api->EnableClipboard(false);
  EXPECT_FALSE(api->IsClipboardEnabled());
  EXPECT_FALSE(api->GetClipboard()->IsEnabled());
}

}  // namespace
