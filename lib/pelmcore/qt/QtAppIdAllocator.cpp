#include "qt/QtAppIdAllocator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "sys/klog.h"

QtAppIdAllocator::QtAppIdAllocator(const QString& key) : memory_(key) {
  if (!AttachOrCreate()) {
    LogMessageA("QtAppIdAllocator: no id table: %s\n", memory_.errorString().toUtf8().constData());
    return;
  }
  const QString folder = LockFolder();
  if (!folder.isEmpty()) {
    QString name = key;
    name.replace('/', '_');
    lockPrefix_ = folder + QLatin1Char('/') + name + QLatin1Char('.');
  } else {
    LogMessageA("QtAppIdAllocator: no runtime folder; a number of a copy that crashes stays taken\n");
  }
  if (!memory_.lock()) return;
  if (memory_.size() >= kTableBytes) {
    auto* table = static_cast<uint8_t*>(memory_.data());
    id_ = lockPrefix_.isEmpty() ? TakeFirstFree(table) : TakeFirstUnlocked(table);
  }
  memory_.unlock();
}

QtAppIdAllocator::~QtAppIdAllocator() {
  if (memory_.isAttached()) {
    if (id_ != 0 && memory_.lock()) {
      ReleaseId(static_cast<uint8_t*>(memory_.data()), id_);
      memory_.unlock();
    }
    memory_.detach();
  }
  // The lock goes last, so that no other copy takes the number while its
  // bit is still set.
  if (lockFd_ >= 0) close(lockFd_);
}

QString QtAppIdAllocator::DefaultKey() { return QStringLiteral("pMPWIND.%1").arg(getuid()); }

QString QtAppIdAllocator::LockFolder() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists()) return QString::fromLocal8Bit(runtime);
  const QString own = QDir::tempPath() + QStringLiteral("/pellum-%1").arg(getuid());
  const QByteArray path = QFile::encodeName(own);
  mkdir(path.constData(), 0700);
  // Only a folder of our own, that nobody else can write into, holds locks
  // that another user cannot take away.
  struct stat st;
  if (lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 022))
    return QString();
  return own;
}

uint16_t QtAppIdAllocator::TakeFirstUnlocked(uint8_t* table) {
  for (uint16_t id = 1; id <= kMaxId; ++id) {
    const QByteArray path = QFile::encodeName(lockPrefix_ + QString::number(id));
    const int fd = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;
    }
    // Nobody alive holds this number: a bit still set for it is left by a
    // copy that ended without freeing it.
    const int index = id - 1;
    table[index / 8] = uint8_t(table[index / 8] | (1u << (index % 8)));
    lockFd_ = fd;
    return id;
  }
  return 0;
}

bool QtAppIdAllocator::AttachOrCreate() {
  if (memory_.attach()) return true;
  // A new segment comes zero-filled from the system; clearing it again
  // could wipe an id that another copy took since it was created.
  if (memory_.create(kTableBytes)) return true;
  // Another copy created the table between the two steps.
  return memory_.error() == QSharedMemory::AlreadyExists && memory_.attach();
}

uint16_t QtAppIdAllocator::TakeFirstFree(uint8_t* table) {
  for (int byte = 0; byte < kTableBytes; ++byte) {
    if (table[byte] == 0xFF) continue;
    for (int bit = 0; bit < 8; ++bit) {
      if (!(table[byte] & (1u << bit))) {
        table[byte] = uint8_t(table[byte] | (1u << bit));
        return uint16_t(8 * byte + bit + 1);
      }
    }
  }
  return 0;
}

void QtAppIdAllocator::ReleaseId(uint8_t* table, uint16_t id) {
  if (id == 0 || id > kMaxId) return;
  const int index = id - 1;
  table[index / 8] = uint8_t(table[index / 8] & ~(1u << (index % 8)));
}
