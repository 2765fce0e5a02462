#include "ui/SessionWindowResources.h"

#include <QtGlobal>
#include <mutex>

#include "ui/options/OptionsResources.h"

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterSessionWindowResources() { Q_INIT_RESOURCE(SessionWindow); }

void InitSessionWindowResources() {
  static std::once_flag once;
  std::call_once(once, RegisterSessionWindowResources);
  // The program icon lives with the option pages' pictures.
  InitOptionsResources();
}
