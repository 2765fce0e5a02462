#include "settings/SystemApiLink.h"

#include <atomic>

namespace {

class CNoSystemApi : public ISettingsSystemApi {
 public:
  uint32_t FindBestMode(int) override { return 0; }
  uint8_t GetDefaultColorDepth() override { return 24; }
  void EnableClipboard(bool) override {}
  bool IsForceDualMonitor() override { return false; }
  void SetShowMessages(bool, bool) override {}
};

std::atomic<ISettingsSystemApi*> g_systemApi{nullptr};

}  // namespace

ISettingsSystemApi* SetSettingsSystemApi(ISettingsSystemApi* api) { return g_systemApi.exchange(api); }

ISettingsSystemApi& SettingsSystemApi() {
  static CNoSystemApi none;
  ISettingsSystemApi* api = g_systemApi.load();
  return api != nullptr ? *api : none;
}
