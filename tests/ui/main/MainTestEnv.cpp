#include "MainTestEnv.h"

#include <algorithm>
#include <chrono>
#include <thread>

void FakeEngine::SetServers(const std::vector<std::u16string>& names) {
  std::lock_guard<std::mutex> hold(mutex_);
  servers.clear();
  for (const std::u16string& name : names) {
    ServerRecord record;
    std::copy_n(name.begin(), std::min(name.size(), ServerRecord::kNameChars - 1), record.name);
    servers.push_back(record);
  }
}

void FakeEngine::Announce() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (listener != nullptr) listener->OnServersFound();
}

int FakeEngine::Count(const std::string& call) {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
}

bool FakeEngine::WaitForCount(const std::string& call, int n) {
  return WaitUntil([&] { return Count(call) >= n; });
}

void FakeEngine::Note(const std::string& call, const std::function<void()>& change) {
  std::lock_guard<std::mutex> hold(mutex_);
  change();
  calls_.push_back(call);
  changed_.notify_all();
}

bool WaitUntil(const std::function<bool()>& condition) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
