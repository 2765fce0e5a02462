#include "ui/QtSessionWindowHost.h"

#include "qt/QtSystemApi.h"
#include "settings/AbstractClientApp.h"

QtSessionWindowHost* GetSessionWindowHost() {
  CQtSystemApi* api = CQtSystemApi::Instance();
  CAbstractClientApp* app = api ? api->clientApp.load() : nullptr;
  return dynamic_cast<QtSessionWindowHost*>(app);
}
