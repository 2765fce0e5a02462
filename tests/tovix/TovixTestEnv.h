// Shared parts of the browser-video tests: a system API with a session
// client that records the tunnel texts sent through it, and helpers that
// wait for Qt events with a generous bound.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

// The session doubles name a parameter after a word Qt takes as a macro.
#pragma push_macro("slots")
#undef slots
#include "../tunnel/TunnelDoubles.h"
#pragma pop_macro("slots")
#include "qt/QtSystemApi.h"
#include "session/ClientConnectionParameter.h"

class TovixClient : public tunneltest::RecordingClient {
 public:
  // Past its handshake, as a session the extension talks to is.
  TovixClient() { SetSessionState(kRunning); }
  void SetSessionState(int32_t state) { sessionState.store(state); }
  void SetParameters(CClientConnectionParameter* parameters) { params = parameters; }
  // The ".tovix" "post" texts sent so far, without their NUL.
  std::vector<std::string> Texts();
};

// The system API of a test, with a recording session client attached.
class TovixSession {
 public:
  explicit TovixSession(bool withClient = true);
  ~TovixSession();

  CQtSystemApi* api = nullptr;
  TovixClient* client = nullptr;
  CClientConnectionParameter parameters;
};

// Delivers Qt events until the condition holds or the seconds have passed.
bool WaitFor(const std::function<bool()>& condition, int seconds = 20);
