#include "streams/StreamKindFactory.h"

#include <mutex>

namespace {

constexpr int kKindCount = static_cast<int>(StreamKind::kPlayer) + 1;

std::mutex g_mutex;
StreamKindMaker g_makers[kKindCount] = {};

}  // namespace

StreamKindMaker RegisterStreamKindMaker(StreamKind kind, StreamKindMaker maker) {
  std::lock_guard<std::mutex> hold(g_mutex);
  StreamKindMaker& slot = g_makers[static_cast<int>(kind)];
  StreamKindMaker previous = slot;
  slot = maker;
  return previous;
}

std::unique_ptr<CStream> CRegisteredStreamKinds::Make(StreamKind kind, const StreamKindArgs& args) {
  StreamKindMaker maker;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    maker = g_makers[static_cast<int>(kind)];
  }
  return maker ? maker(args) : nullptr;
}
