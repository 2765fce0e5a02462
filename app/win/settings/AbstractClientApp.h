// The application side of a main window: what the server-switch thread and
// the session reach it through, and the builder of the connection
// parameters.
#pragma once

#include <QList>
#include <QRect>
#include <atomic>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "cli/LaunchOptions.h"
#include "pelplat/wintypes.h"

class CHtClient;
class CClientConnectionParameter;

class CAbstractClientApp {
 public:
  CAbstractClientApp() = default;
  // Detaches from the server-switch thread and frees a record still owned.
  virtual ~CAbstractClientApp();

  // Asks the GUI thread to connect to that server of the current group.
  virtual void SwitchToServer(int serverIndex);
  // Blocks until the attempt has an outcome: 0 connected, nonzero otherwise.
  virtual int WaitConnected();
  // Starts a connection with the current settings (server or group).
  virtual void Connect();

  // A new record from the process-wide settings and the launch file, made
  // the current one (a previous one is freed). screens are the local
  // screens' rectangles, used for the launch file's second display.
  CClientConnectionParameter* BuildConnectionParameters(const QList<QRect>& screens,
                                                        const CLaunchOptions& launch = GetLaunchOptions());
  // Hands the current record to the caller.
  CClientConnectionParameter* TakeConnectionParameters() { return connectionParameters.exchange(nullptr); }

  int groupIndex = -1;
  std::atomic<CClientConnectionParameter*> connectionParameters{nullptr};
  std::atomic<CHtClient*> sessionClient{nullptr};  // owned by the main window

  CAbstractClientApp(const CAbstractClientApp&) = delete;
  CAbstractClientApp& operator=(const CAbstractClientApp&) = delete;

 protected:
  // The derived window's destructor calls this first: the switch thread may
  // be inside WaitConnected of this object, and the window's own members
  // must outlive that call. Returns once the thread has let go of it.
  void DetachFromServerSwitch();
};

// Displays beyond the first (0 or 1): the first positive of the settings'
// "GuiMultiMonitor", the "-dual" flag, "MultiMonitor" and the system API's
// forced-dual-monitor switch. Negative stored values count as unset.
int GetExtraMonitorCount(const CLaunchOptions& launch = GetLaunchOptions());

// Applies the launch file to a record; false when it stopped early, with
// what was applied until then kept.
bool ApplyLaunchJson(CClientConnectionParameter& record, const nlohmann::json& launch,
                     const QList<QRect>& screens);

// The text to connect to (into a buffer of 260 characters), the index of
// the server group of that name (-1 when none) and the port.
void ResolveServer(WCHAR* server, int* groupIndex, uint32_t* port,
                   const CLaunchOptions& launch = GetLaunchOptions());
