#include "qt/QtAppIdAllocator.h"

#include <unistd.h>

#include "sys/klog.h"

QtAppIdAllocator::QtAppIdAllocator(const QString& key) : memory_(key) {
  if (!AttachOrCreate()) {
    LogMessageA("QtAppIdAllocator: no id table: %s\n", memory_.errorString().toUtf8().constData());
    return;
  }
  if (!memory_.lock()) return;
  if (memory_.size() >= kTableBytes) id_ = TakeFirstFree(static_cast<uint8_t*>(memory_.data()));
  memory_.unlock();
}

QtAppIdAllocator::~QtAppIdAllocator() {
  if (!memory_.isAttached()) return;
  if (id_ != 0 && memory_.lock()) {
    ReleaseId(static_cast<uint8_t*>(memory_.data()), id_);
    memory_.unlock();
  }
  memory_.detach();
}

QString QtAppIdAllocator::DefaultKey() { return QStringLiteral("pMPWIND.%1").arg(getuid()); }

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
