// Dispatch threads: a complete packet of the display or the stream slots is
// queued to a dispatch thread, which routes it on its own thread while the
// connection thread keeps reading.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sys/_synchro.h"

class CPacketRouter;
struct PacketBuffer;

namespace dezo {

class ProcessThread : public std::enable_shared_from_this<ProcessThread> {
 public:
  // Takes a reference to the connection (none for threads of their own kind).
  ProcessThread(uint8_t group, CPacketRouter* connection);
  // The thread must have been joined (Stop) before the last reference goes.
  virtual ~ProcessThread();

  // 1 when the receiver kept the buffer.
  virtual uint8_t ProcessPacket(PacketBuffer* buffer);
  virtual void Run();

  // Launches the thread once; it holds `thread` for as long as it runs. A
  // second Start does nothing.
  static void Start(const std::shared_ptr<ProcessThread>& thread);
  void Stop();
  // True when queued; a refused buffer stays with the caller. A packet into
  // an empty queue wakes the thread. With deferWake the packet waits in a
  // batch of the calling thread (the only producer) until WakeIfOwed hands
  // the whole batch over under one lock: the connection thread queues a
  // whole read's packets before it wakes anyone. A batch that meets a
  // stopped thread is released, as queued packets are.
  bool Enqueue(PacketBuffer* buffer, bool deferWake = false);
  void WakeIfOwed();

  // The first half of Stop, for stopping several threads before joining any.
  void RequestStop();
  void Join();

  uint8_t Group() const { return group_; }
  bool Running() const { return running_.load() != 0; }
  CPacketRouter* Connection() const { return connection_; }

  ProcessThread(const ProcessThread&) = delete;
  ProcessThread& operator=(const ProcessThread&) = delete;

 protected:
  std::thread thread_;
  CPacketRouter* connection_;
  CxQueue queue_;
  std::atomic<uint8_t> running_{0};
  uint8_t group_;

 private:
  void Drain();
  // Queues the packets under one lock; false (none queued) when the queue
  // is closed.
  bool Append(PacketBuffer* const* buffers, size_t count);
  // Takes every queued packet at once; null when none, or when the queue
  // is closed unless evenClosed.
  CxQueueNode* TakeAll(bool evenClosed);

  // The producer's batch, touched only by the thread that enqueues.
  std::vector<PacketBuffer*> batch_;
};

}  // namespace dezo

// Slot ids to dispatch threads, one table per connection.
class DispatchTable {
 public:
  static constexpr int kEntries = 32;

  DispatchTable() = default;
  ~DispatchTable();

  // The dispatch thread of a slot id below 32, or none.
  std::shared_ptr<dezo::ProcessThread> Find(uint16_t slot) const;
  // A new started thread for `connection` serving the slot ids (ids of 32 and
  // more are skipped); group -1 takes the next group number.
  std::shared_ptr<dezo::ProcessThread> Assign(int group, CPacketRouter* connection, const uint16_t* ids,
                                              int count);
  // Stops and joins every thread; queued packets are released unrouted.
  void StopAll();
  // Wakes the threads that deferred packets are waiting in.
  void WakeOwed();
  size_t ThreadCount() const;

  DispatchTable(const DispatchTable&) = delete;
  DispatchTable& operator=(const DispatchTable&) = delete;

 private:
  mutable std::recursive_mutex mutex_;
  std::shared_ptr<dezo::ProcessThread> entries_[kEntries];
  std::vector<std::shared_ptr<dezo::ProcessThread>> threads_;
  int nextGroup_ = 64;
};
