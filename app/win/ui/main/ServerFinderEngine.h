// The discovery engine as the discovery front end drives it. The program
// uses the process-wide engine; tests and the loopback test set-up install
// another one.
#pragma once

#include <vector>

#include "discovery/ServerFinderCore.h"

class IServerFinderEngine {
 public:
  virtual ~IServerFinderEngine() = default;
  virtual void SetListener(IServerFinderListener* listener) = 0;
  virtual void ClearListener() = 0;
  // Opens the receive socket (starts the receive thread).
  virtual void StartThread() = 0;
  // Sends the probes and empties the table.
  virtual int Search(int mode) = 0;
  // Closes the receive socket.
  virtual void StopThread() = 0;
  virtual std::vector<ServerRecord> Servers() const = 0;
};

// The front end's view of one CServerFinderCore.
class CoreServerFinderEngine : public IServerFinderEngine {
 public:
  explicit CoreServerFinderEngine(CServerFinderCore& core) : core_(core) {}
  void SetListener(IServerFinderListener* listener) override { core_.SetListener(listener); }
  void ClearListener() override { core_.ClearListener(); }
  void StartThread() override { core_.StartThread(); }
  int Search(int mode) override { return core_.Search(mode); }
  void StopThread() override { core_.StopThread(); }
  std::vector<ServerRecord> Servers() const override { return core_.Servers(); }

 private:
  CServerFinderCore& core_;
};

// The installed engine, or the one over CServerFinderCore::Global().
IServerFinderEngine& DiscoveryEngine();
// Installs an engine (null goes back to the global one); returns the
// previous one. Only while no QtServerFinder exists.
IServerFinderEngine* SetDiscoveryEngine(IServerFinderEngine* engine);
