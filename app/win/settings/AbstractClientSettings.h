// One settings profile in memory: server history, server groups, log-on
// credentials with a scrambled password, display, sound, network and
// program switches, and the typed store of generic keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pelplat/wintypes.h"
#include "sys/FixedText.h"
#include "settings/SecXoredBlock.h"
#include "settings/ServersGroups.h"
#include "settings/SettingsStore.h"
#include "settings/SpecialFolders.h"

constexpr int kHistoryEntries = 10;

class CAbstractClientSettings : public CSpecialFolders, public CServersGroups {
 public:
  // Becomes the process-wide instance unless noSave is set.
  explicit CAbstractClientSettings(bool noSave);
  virtual ~CAbstractClientSettings();

  // The process-wide instance, or null.
  static CAbstractClientSettings* GetInstance();
  // Address count of a server group of the process-wide instance; -1 when
  // there is no instance or no such group. Safe from any thread.
  static int InstanceServerCount(int groupIndex);

  void AddServerToHistory(const WCHAR* address);

  void SetUserName(const WCHAR* text);
  void SetDomain(const WCHAR* text);
  void SetProgramPath(const WCHAR* text);
  void SetWorkingDir(const WCHAR* text);
  // At most 259 characters are kept.
  void SetPassword(const WCHAR* text);
  // At most n - 1 characters and always a terminator; the rest of the
  // buffer is set to zero.
  void GetPassword(WCHAR* buffer, size_t n) const;
  BOOL GetClipboardShare() const { return clipboardShare; }

  bool FindInt(const std::u16string& key, int32_t* value);
  bool FindText(const std::u16string& key, std::u16string* value);
  void SetInt(const std::u16string& key, int32_t value);
  void SetText(const std::u16string& key, const std::u16string& value);
  void SetBinary(const std::u16string& key, const std::vector<BYTE>& value);
  int32_t GetInt(const std::u16string& key, int32_t defaultValue);
  bool GetBool(const std::u16string& key, bool defaultValue);
  SettingsStore& Store() { return *store; }

  // Places a desktop entry F + P + ".desktop" in folder F that starts this
  // program with the profile P. False when it cannot be written or its
  // path would have more than 259 characters.
  bool CreateProfileShortcut(const WCHAR* folder, const WCHAR* profile);

  WCHAR serverHistory[kHistoryEntries][kFieldChars];
  int32_t encryptionLevel;
  WCHAR userName[kFieldChars];
  BYTE passwordBlock[kPasswordBlockBytes];
  WCHAR domain[kFieldChars];
  WCHAR profileName[kFieldChars];
  BOOL autoLogon;
  BOOL autoConnect;
  BOOL exitOnDisconnect;
  uint32_t screenSizes[2];  // width in the low 16 bits, height in the high 16 bits
  int32_t colorDepth;
  BOOL fullScreen;
  BOOL useColorCursor;
  BOOL autoDetectAudioVideo;
  BOOL useSound;
  BOOL useWanNetwork;
  WCHAR msAddress[kFieldChars];
  int32_t msPort;
  BOOL clipboardShare;
  WCHAR programPath[kFieldChars];
  WCHAR workingDir[kFieldChars];
  BOOL noSave;
  BOOL dsFormatsSupport;
  BOOL vorbisSupport;
  int32_t vorbisAudioQuality;
  BOOL dxva2Support;
  BOOL useAudioVideoSynch;
  int32_t audioThreadPriority;
  int32_t useAsyncMovieSlotProc;
  int32_t useUniqueMovieFrames;
  BOOL vlcVideoDecoderSupport;
  BOOL useWmpChannelRedirection;
  BOOL SaveEngineLog;
  SettingsStore* store;

  CAbstractClientSettings(const CAbstractClientSettings&) = delete;
  CAbstractClientSettings& operator=(const CAbstractClientSettings&) = delete;

 protected:
  // The values of a profile file without keys; the display sizes come from
  // the system API's best modes.
  void SetDefaults();
};

// GetInt on the process-wide instance; the default without one.
int32_t GetGlobalIntSetting(const std::u16string& key, int32_t defaultValue);
// "MultiMonitor" of the process-wide instance, 0 when absent.
int32_t GetMultiMonitorSetting();
