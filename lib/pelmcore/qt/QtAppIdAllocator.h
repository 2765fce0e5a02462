// Numbers the running copies of the program 1 to 1024 through a 128-byte
// bit table in shared memory, so that the second and later copies can tell
// their windows apart. Each taken number is also held as a lock on a file
// of its own in the user's runtime folder: the kernel drops the lock when
// the copy ends, however it ends, so a copy that was killed leaves its
// number free for the next one.
#pragma once

#include <QSharedMemory>
#include <QString>
#include <cstdint>

class QtAppIdAllocator {
 public:
  static constexpr int kTableBytes = 128;
  static constexpr uint16_t kMaxId = kTableBytes * 8;

  // Takes the first free id of the table under the key; the id stays 0
  // when the table can be neither attached nor created, or is full.
  explicit QtAppIdAllocator(const QString& key = DefaultKey());
  // Frees the id.
  ~QtAppIdAllocator();

  uint16_t Id() const { return id_; }

  // The platform tag the hello record carries, made per user: shared
  // memory is visible to every user of the machine here.
  static QString DefaultKey();

  // The bit-table steps, on a table of kTableBytes bytes: set the first
  // clear bit (bytes in order, bits from the least significant) and answer
  // its id, 0 when all are set; clear an id's bit.
  static uint16_t TakeFirstFree(uint8_t* table);
  // Where the number locks live: $XDG_RUNTIME_DIR, else a folder of the
  // user's own under the temporary folder.
  static QString LockFolder();
  static void ReleaseId(uint8_t* table, uint16_t id);

  QtAppIdAllocator(const QtAppIdAllocator&) = delete;
  QtAppIdAllocator& operator=(const QtAppIdAllocator&) = delete;

 private:
  bool AttachOrCreate();
  // Takes the lowest number whose lock no living copy holds, marks it in
  // the table and keeps its lock; 0 when every number is held.
  uint16_t TakeFirstUnlocked(uint8_t* table);

  QSharedMemory memory_;
  QString lockPrefix_;
  int lockFd_ = -1;
  uint16_t id_ = 0;
};
