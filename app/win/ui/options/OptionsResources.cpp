#include "ui/options/OptionsResources.h"

#include <QtGlobal>
#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterOptionsResources() { Q_INIT_RESOURCE(options); }

void InitOptionsResources() {
  static std::once_flag once;
  std::call_once(once, RegisterOptionsResources);
}
