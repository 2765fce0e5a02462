// Shared pieces of the main-window tests: a discovery engine that the test
// drives by hand, and waiting for queued signals.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ui/main/ServerFinderEngine.h"

// Records the calls the front end makes and lists the servers the test
// gives it; the test plays the receive thread with Announce.
class FakeEngine : public IServerFinderEngine {
 public:
  FakeEngine() { previous_ = SetDiscoveryEngine(this); }
  ~FakeEngine() override { SetDiscoveryEngine(previous_); }

  void SetListener(IServerFinderListener* l) override { Note("listen", [&] { listener = l; }); }
  void ClearListener() override { Note("unlisten", [&] { listener = nullptr; }); }
  void StartThread() override { Note("start", [] {}); }
  int Search(int mode) override {
    Note("search" + std::to_string(mode), [] {});
    return 0;
  }
  void StopThread() override { Note("stop", [] {}); }
  std::vector<ServerRecord> Servers() const override {
    std::lock_guard<std::mutex> hold(mutex_);
    return servers;
  }

  void SetServers(const std::vector<std::u16string>& names);
  // What the receive thread does after an answer.
  void Announce();
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  int Count(const std::string& call);
  // Until the call has been made n times (false after a generous wait).
  bool WaitForCount(const std::string& call, int n);

  IServerFinderListener* listener = nullptr;
  std::vector<ServerRecord> servers;

 private:
  void Note(const std::string& call, const std::function<void()>& change);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  IServerFinderEngine* previous_;
};

// Processes events until the condition holds; false after ten seconds.
bool WaitUntil(const std::function<bool()>& condition);
