#include "ui/QtSessionWindowHost.h"

#include <atomic>

namespace {

std::atomic<QtSessionWindowHost*> gHost{nullptr};

}  // namespace

void SetSessionWindowHost(QtSessionWindowHost* host) { gHost.store(host); }

QtSessionWindowHost* GetSessionWindowHost() { return gHost.load(); }
