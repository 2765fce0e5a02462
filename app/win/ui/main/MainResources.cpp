#include "ui/main/MainResources.h"

#include <QtGlobal>
#include <mutex>

#include "ui/options/OptionsResources.h"

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterMainResources() { Q_INIT_RESOURCE(pellumgui); }

void InitMainResources() {
  static std::once_flag once;
  std::call_once(once, RegisterMainResources);
  InitOptionsResources();
}
