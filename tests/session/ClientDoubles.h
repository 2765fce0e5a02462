// A session client wired to the shared fake system API the way the main
// window wires them, and the parameters of a plain session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pelplat/utf16.h"
#include "session/ClientConnectionParameter.h"
#include "session/HtClient.h"
#include "support/FakeClipboard.h"
#include "support/FakeSystemApi.h"

namespace clienttest {

using testsupport::FakeClipboard;
using testsupport::FakeSystemApi;
using testsupport::StateChange;

inline void SetText(WCHAR* field, size_t capacity, const char16_t* text) { WcsCopyTruncate(field, capacity, text); }

// Parameters of a plain session to a server on this machine.
inline void PlainParameters(CClientConnectionParameter* p, uint16_t port) {
  p->connectionKind = 2;
  SetText(p->serverAddress, kFieldChars, u"127.0.0.1");
  p->port = port;
  SetText(p->userName, kCredentialChars, u"user");
  p->width = 1024;
  p->height = 768;
  p->colorDepth = 24;
}

// The client, its system API and its parameters, released in the order the
// program releases them.
struct ClientRig {
  ClientRig() : api(new FakeSystemApi), client(new CHtClient) {}
  ~ClientRig() {
    client->Stop();
    // Attached processors hold the client; a hello built without a
    // connection thread leaves them attached.
    client->ReleaseAllProcessors();
    client->Release();
    api->Stop();
    api->Release();
  }
  int Init() { return client->Init(api, &params); }

  FakeSystemApi* api;
  CClientConnectionParameter params;
  CHtClient* client;
};

}  // namespace clienttest
