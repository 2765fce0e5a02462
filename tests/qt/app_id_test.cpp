// Application ids across running copies of the program: real processes
// sharing one id table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <memory>
#include <vector>

#include "qt/QtAppIdAllocator.h"

namespace {

// A copy of this test program that takes an id from the table and holds it
// until its input is closed.
class IdHolder {
 public:
  explicit IdHolder(const QString& key) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PELLUM_APPID_HOLDER", key);
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QCoreApplication::applicationFilePath(), QStringList());
  }
  ~IdHolder() { Quit(); }

  int Id() {
    if (!process_.waitForStarted(30000)) return -1;
    while (!process_.canReadLine()) {
      if (!process_.waitForReadyRead(30000)) return -1;
    }
    return QString::fromUtf8(process_.readLine()).trimmed().toInt();
  }
  // Ends the copy the way a crash does: it frees nothing itself.
  void Kill() {
    process_.kill();
    process_.waitForFinished(30000);
  }
  void Quit() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.closeWriteChannel();
    process_.waitForFinished(30000);
  }

 private:
  QProcess process_;
};

TEST(AppIdTest, RunningCopiesTakeTheFirstFreeIds) {
  const QString key = QStringLiteral("pMPWIND.idtest.%1").arg(getpid());
  std::vector<std::unique_ptr<IdHolder>> copies;
  for (int expected = 1; expected <= 3; ++expected) {
    copies.emplace_back(new IdHolder(key));
    EXPECT_EQ(copies.back()->Id(), expected);
  }
  // The second copy ends: the next start gets its id.
  copies[1]->Quit();
  IdHolder next(key);
  EXPECT_EQ(next.Id(), 2);
  // And this process takes the next free one.
  QtAppIdAllocator own(key);
  EXPECT_EQ(own.Id(), 4);
}

TEST(AppIdTest, AKilledCopyLeavesItsIdToTheNextOne) {
  const QString key = QStringLiteral("pMPWIND.killtest.%1").arg(getpid());
  IdHolder first(key);
  ASSERT_EQ(first.Id(), 1);
  IdHolder second(key);
  ASSERT_EQ(second.Id(), 2);
  first.Kill();
  IdHolder next(key);
  EXPECT_EQ(next.Id(), 1) << "the killed copy's bit is still set, but nobody holds its lock";
  IdHolder last(key);
  EXPECT_EQ(last.Id(), 3);
}

TEST(AppIdTest, BitTableIsScannedByteByByteFromTheLowestBit) {
  uint8_t table[QtAppIdAllocator::kTableBytes] = {};
  table[0] = 0xFF;
  table[1] = 0x05;
  EXPECT_EQ(QtAppIdAllocator::TakeFirstFree(table), 10);  // byte 1, bit 1
  EXPECT_EQ(table[1], 0x07);
  QtAppIdAllocator::ReleaseId(table, 3);
  EXPECT_EQ(table[0], 0xFB);
  EXPECT_EQ(QtAppIdAllocator::TakeFirstFree(table), 3);

  memset(table, 0xFF, sizeof table);
  table[127] = 0x7F;
  EXPECT_EQ(QtAppIdAllocator::TakeFirstFree(table), 1024);
  EXPECT_EQ(QtAppIdAllocator::TakeFirstFree(table), 0);  // full
  QtAppIdAllocator::ReleaseId(table, 0);
  QtAppIdAllocator::ReleaseId(table, 1025);  // out of range: nothing
  EXPECT_EQ(table[127], 0xFF);
}

}  // namespace
