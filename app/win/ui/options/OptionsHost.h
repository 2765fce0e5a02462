// What the option pages ask of the main window, of the system API and of
// the discovery front end. The main window installs its own host for the
// time it exists; without one the answers are those the pages get when
// there is no main window: one screen, no screen rectangles, the full
// layout, no display modes, the depths 16 and 24, no discovery.
#pragma once

#include <QList>
#include <QRect>
#include <QStringList>
#include <cstdint>
#include <vector>

class QListWidget;
class QObject;
class QWidget;

class OptionsHost {
 public:
  virtual ~OptionsHost() = default;

  // System API: the modes offered for a display (width | height << 16) and
  // the supported colour depths. The best mode, the default depth and the
  // forced-dual-monitor switch come from SettingsSystemApi().
  virtual std::vector<uint32_t> GetDisplayModes(int display);
  virtual std::vector<uint8_t> GetColorDepths();

  // Main window: the screens it counted, their rectangles by index, its
  // "NewGui" layout flag, and the product name as its title.
  virtual int GetScreenCount();
  virtual QList<QRect> GetScreenRects();
  virtual bool IsNewGuiLayout();
  virtual void ShowApplicationTitle();

  // Discovery front end. The server connection widget is also a
  // QtValidableItem and emits AddressEditedSig(const QString&); null when
  // there is none.
  virtual QWidget* CreateServerConnectionWidget(QWidget* parent);
  virtual void LoadServerConnectionWidget(QWidget* widget);
  // The discovered-server list and its progress display.
  virtual QListWidget* CreateServersListWidget(QWidget* parent);
  virtual void StartListProgress(QListWidget* list, int steps);
  virtual void StepListProgress(QListWidget* list, int position);
  virtual void FinishListProgress(QListWidget* list);
  // The finder emits SearchingStartedSig(int), UpdateProgressSig(int),
  // UpdateServerListSig() and SearchingFinishedSig(bool); null when none.
  virtual QObject* ServerFinder();
  virtual int StartServerSearch();
  // The names of the servers found so far, without their addresses.
  virtual QStringList GetServerNames();
};

// Installs a host (null removes it) and returns the one it replaces.
OptionsHost* SetOptionsHost(OptionsHost* host);
// The installed host, or the stand-in.
OptionsHost& GetOptionsHost();
