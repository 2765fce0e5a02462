// The windows that show video and the presenters their pictures go to.
// A presenter is called without the registry's lock held: each entry
// counts the calls running in it, and unregistering waits for that count
// to fall to the calls the unregistering thread itself is inside (a
// presenter that unregisters its own window must not wait for itself).
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "pelplat/videowindow.h"

namespace {

struct Entry {
  VideoPresenter presenter;
  int running = 0;
};

struct Registry {
  std::mutex lock;
  std::condition_variable idle;
  std::map<HWND, std::shared_ptr<Entry>> entries;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every static user
  return *registry;
}

// The entries this thread is presenting into right now.
thread_local std::vector<const Entry*> t_inside;

int CallsOfThisThread(const Entry* entry) {
  return static_cast<int>(std::count(t_inside.begin(), t_inside.end(), entry));
}

// Takes the window's entry out and waits until no other thread runs its
// presenter.
void Retire(Registry& registry, std::unique_lock<std::mutex>& held, HWND window) {
  const auto found = registry.entries.find(window);
  if (found == registry.entries.end()) return;
  const std::shared_ptr<Entry> entry = found->second;
  registry.entries.erase(found);
  const int mine = CallsOfThisThread(entry.get());
  registry.idle.wait(held, [&] { return entry->running <= mine; });
}

}  // namespace

void RegisterVideoPresenter(HWND window, VideoPresenter presenter) {
  Registry& registry = TheRegistry();
  auto entry = std::make_shared<Entry>();
  entry->presenter = std::move(presenter);
  std::unique_lock<std::mutex> held(registry.lock);
  Retire(registry, held, window);
  if (entry->presenter) registry.entries[window] = std::move(entry);
}

void UnregisterVideoPresenter(HWND window) {
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> held(registry.lock);
  Retire(registry, held, window);
}

bool PresentToVideoWindow(HWND window, const VideoPresentation& picture) {
  Registry& registry = TheRegistry();
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    const auto found = registry.entries.find(window);
    if (found == registry.entries.end()) return false;
    entry = found->second;
    ++entry->running;
  }
  t_inside.push_back(entry.get());
  entry->presenter(picture);
  t_inside.pop_back();
  {
    std::lock_guard<std::mutex> hold(registry.lock);
    --entry->running;
  }
  registry.idle.notify_all();
  return true;
}
