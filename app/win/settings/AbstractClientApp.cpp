#include "settings/AbstractClientApp.h"

#include <cstring>
#include <stdexcept>

#include "pelplat/utf16.h"
#include "settings/AbstractClientSettings.h"
#include "session/ClientConnectionParameter.h"
#include "settings/ServerSwitchThread.h"
#include "settings/SystemApiLink.h"
#include "sys/klog.h"

using nlohmann::json;

namespace {

const char16_t kRunTimeGroup[] = u"RunTimeSrvGroup";

// Generic keys written into the store when missing, so that they appear in
// the profile file.
const struct {
  const char16_t* key;
  bool isText;
  int32_t number;
  const char16_t* text;
} kGenericDefaults[] = {
    {u"MaxKbPerSec", false, 0, nullptr},
    {u"DumpTransferEveryMillisec", false, 0, nullptr},
    {u"GenericName", true, 0, u"Pellum"},
};

void StoreGenericDefaults(CAbstractClientSettings& settings) {
  for (const auto& entry : kGenericDefaults) {
    if (entry.isText) {
      settings.Store().AddTextIfMissing(entry.key, entry.text);
    } else {
      settings.Store().AddIntIfMissing(entry.key, entry.number);
    }
  }
}

// The store's integer, or 0 when the key is absent.
uint32_t StoredOrZero(CAbstractClientSettings& settings, const char16_t* key) {
  int32_t value = 0;
  settings.FindInt(key, &value);
  return static_cast<uint32_t>(value);
}

// The launch file may give any 32-bit sizes: the origin is worked out in
// 64 bits and, like the sizes, kept to the record's 16-bit fields.
void SetDisplay2(CClientConnectionParameter& record, int width, int height, bool atLeft, bool bottomAligned) {
  record.display2Size.width = static_cast<uint16_t>(width);
  record.display2Size.height = static_cast<uint16_t>(height);
  const int64_t width1 = static_cast<int32_t>(record.width);
  const int64_t height1 = static_cast<int32_t>(record.height);
  const int64_t x = atLeft ? -static_cast<int64_t>(width) : width1;
  const int64_t y = bottomAligned ? height1 - height : 0;
  record.display2Origin.x = static_cast<int16_t>(x);
  record.display2Origin.y = static_cast<int16_t>(y);
}

void CopySettings(CClientConnectionParameter& record, CAbstractClientSettings& s, const CLaunchOptions& launch) {
  SetFieldText(record.userName, kCredentialChars, s.userName);
  s.GetPassword(record.password, kCredentialChars);
  SetFieldText(record.domain, kFieldChars, s.domain);
  record.autoLogon = static_cast<uint32_t>(s.autoLogon);
  record.width = s.screenSizes[0] & 0xFFFF;
  record.height = s.screenSizes[0] >> 16;
  record.colorDepth = static_cast<uint8_t>(s.colorDepth);

  record.extraDisplayCount = static_cast<uint32_t>(GetExtraMonitorCount(launch));
  uint32_t size2 = SettingsSystemApi().IsForceDualMonitor() ? s.screenSizes[0] : s.screenSizes[1];
  SetDisplay2(record, size2 & 0xFFFF, size2 >> 16, s.GetInt(u"DualOnLeftSide", 0) != 0,
              s.GetInt(u"DualBottomAligned", 0) != 0);

  record.encryptionLevel = static_cast<uint32_t>(s.encryptionLevel);
  record.encryptionMode = s.encryptionLevel != 0 ? 3 : 0;
  SetFieldText(record.programPath, kFieldChars, s.programPath);
  SetFieldText(record.workingDir, kFieldChars, s.workingDir);
  record.startProgram = record.programPath[0] != 0 ? 1 : 0;

  record.useSound = static_cast<uint32_t>(s.useSound);
  record.vorbisSupport = static_cast<uint32_t>(s.vorbisSupport);
  record.useWanNetwork = static_cast<uint32_t>(s.useWanNetwork);
  record.dsFormatsSupport = static_cast<uint32_t>(s.dsFormatsSupport);
  record.clipboardShare = static_cast<uint32_t>(s.clipboardShare);
  record.useColorCursor = static_cast<uint32_t>(s.useColorCursor);
  record.dxva2Support = static_cast<uint32_t>(s.dxva2Support);
  record.useAudioVideoSynch = static_cast<uint32_t>(s.useAudioVideoSynch);
  record.vorbisAudioQuality = static_cast<uint32_t>(s.vorbisAudioQuality);
  record.audioThreadPriority = static_cast<uint32_t>(s.audioThreadPriority);
  record.useAsyncMovieSlotProc = static_cast<uint32_t>(s.useAsyncMovieSlotProc);
  record.useUniqueMovieFrames = static_cast<uint32_t>(s.useUniqueMovieFrames);
  record.vlcVideoDecoderSupport = static_cast<uint32_t>(s.vlcVideoDecoderSupport);
  record.useWmpChannelRedirection = static_cast<uint32_t>(s.useWmpChannelRedirection);
  record.nameMode = static_cast<uint32_t>(s.GetInt(u"NameMode", 0));

  StoreGenericDefaults(s);
  record.maxKbPerSec = StoredOrZero(s, u"MaxKbPerSec");
  record.dumpTransferEveryMillisec = StoredOrZero(s, u"DumpTransferEveryMillisec");
  record.flushCommandState = StoredOrZero(s, u"FlushCommandState");
  record.dataSlicerMode = StoredOrZero(s, u"DataSlicerMode");
  record.autoDisconnect = s.GetBool(u"AutoDisconnect", false) ? 1 : 0;
}

// A number the launch file must give; its absence ends the reading.
int RequiredInt(const json& object, const char* key) {
  if (!object.contains(key)) throw std::runtime_error(std::string("missing ") + key);
  return GetJsonInt(object, key, 0);
}

// A size or depth of display 1 from the launch file. One the session
// cannot ask for becomes 0, and with it the session asks for the default
// display.
uint32_t LaunchDisplayNumber(const json& desktop, const char* key, bool (*allowed)(int64_t)) {
  const int value = RequiredInt(desktop, key);
  if (allowed(value)) return static_cast<uint32_t>(value);
  LogMessageA("Launch file: desktop %s %d cannot be used; the session asks for the default display", key, value);
  return 0;
}

void ApplySecondDisplay(CClientConnectionParameter& record, const json& desktop, const QList<QRect>& screens) {
  record.extraDisplayCount = 0;
  try {
    const json& secondary = desktop.at("secondary");
    int width = GetJsonInt(secondary, "width", -1);
    int height = GetJsonInt(secondary, "height", -1);
    int atLeft = GetJsonInt(secondary, "at_left", 0);
    int bottomAligned = GetJsonInt(secondary, "bottom_aligned", 0);
    uint32_t extra = (width != -1 && height != -1) ? 1 : 0;
    if (screens.size() == 1) extra = 0;
    if ((width == 0 || height == 0) && screens.size() >= 2) {
      width = screens[1].right() - screens[1].left() + 1;
      height = screens[1].bottom() - screens[1].top() + 1;
    }
    if (extra != 0 && !(DisplaySideInRange(width) && DisplaySideInRange(height))) {
      LogMessageA("Launch file: the second display %d x %d is outside 0-%d x 0-%d; there is no second display",
                  width, height, static_cast<int>(kMaxDisplaySide), static_cast<int>(kMaxDisplaySide));
      extra = 0;
    }
    record.extraDisplayCount = extra;
    if (extra != 0) SetDisplay2(record, width, height, atLeft != 0, bottomAligned != 0);
  } catch (const std::exception&) {
    record.extraDisplayCount = 0;
  }
}

// Leading decimal digits; 0 when there are none. Values past the 32-bit
// range stay at its top.
uint32_t ParsePort(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

CAbstractClientApp::~CAbstractClientApp() {
  DetachFromServerSwitch();
  delete connectionParameters.exchange(nullptr);
}

void CAbstractClientApp::SwitchToServer(int) {}

int CAbstractClientApp::WaitConnected() { return 0; }

void CAbstractClientApp::Connect() {}

void CAbstractClientApp::DetachFromServerSwitch() { CServerSwitchThread::Instance().Detach(this); }

CClientConnectionParameter* CAbstractClientApp::BuildConnectionParameters(const QList<QRect>& screens,
                                                                          const CLaunchOptions& launch) {
  CClientConnectionParameter* record = new CClientConnectionParameter();
  record->connectionKind = 2;
  record->port = kDefaultServerPort;
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (settings != nullptr) CopySettings(*record, *settings, launch);
  if (launch.jsonFlag) ApplyLaunchJson(*record, launch.json, screens);
  delete connectionParameters.exchange(record);
  return record;
}

int GetExtraMonitorCount(const CLaunchOptions& launch) {
  const int32_t sources[] = {
      GetGlobalIntSetting(u"GuiMultiMonitor", 0),
      launch.dual,
      GetMultiMonitorSetting(),
      SettingsSystemApi().IsForceDualMonitor() ? 1 : 0,
  };
  for (int32_t value : sources)
    if (value > 0) return 1;
  return 0;
}

bool ApplyLaunchJson(CClientConnectionParameter& record, const json& launch, const QList<QRect>& screens) {
  try {
    const json& pellum = launch.at("Pellum");
    const json& desktop = pellum.at("desktop");
    const json& server = pellum.at("server");
    const json& misc = pellum.at("misc");

    record.width = LaunchDisplayNumber(desktop, "width", DisplaySideInRange);
    record.height = LaunchDisplayNumber(desktop, "height", DisplaySideInRange);
    record.colorDepth = LaunchDisplayNumber(desktop, "bitspp", ColorDepthAllowed);
    ApplySecondDisplay(record, desktop, screens);

    GetJsonTextW(record.programPath, kFieldChars, server, "cmd");
    GetJsonTextW(record.workingDir, kFieldChars, server, "path");
    GetJsonTextW(record.domain, kFieldChars, server, "domain");
    GetJsonTextW(record.userName, kCredentialChars, server, "user");
    GetJsonTextW(record.password, kCredentialChars, server, "password");
    record.startProgram = GetJsonBool(server, "start_app", false) ? 1 : 0;
    record.autoLogon = GetJsonBool(server, "auto_logon", false) ? 1 : 0;

    CopyLaunchText(record.UserDeviceName, kDeviceNameBytes, GetJsonMiscText(misc, "UserDeviceName"));
    CopyLaunchText(record.proxy_url, kProxyUrlBytes, GetJsonMiscText(misc, "proxy_url"));
    record.autoDisconnect = GetJsonBool(misc, "auto_disconnect", record.autoDisconnect != 0) ? 1 : 0;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ResolveServer(WCHAR* server, int* groupIndex, uint32_t* port, const CLaunchOptions& launch) {
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  uint32_t resolvedPort = kDefaultServerPort;
  std::u16string text;
  if (launch.jsonFlag) {
    std::string address = GetLaunchServerAddress(launch.json);
    if (address == "@") {
      if (settings != nullptr) {
        settings->AddGroup(kRunTimeGroup, true);
        for (const std::string& entry : GetLaunchServerGroup(launch.json))
          settings->AddServerAddressToGroup(kRunTimeGroup, Utf8ToUtf16(entry).c_str());
      }
      text = kRunTimeGroup;
    } else {
      text = Utf8ToUtf16(address);
    }
    SettingsSystemApi().SetShowMessages(GetJsonMiscFlag(launch.json, "ShowNormalMessages", true),
                                        GetJsonMiscFlag(launch.json, "ShowSystemMessages", true));
    if (!launch.address.empty() && !launch.port.empty()) {
      text = Utf8ToUtf16(launch.address);
      resolvedPort = ParsePort(launch.port);
    }
  } else if (settings != nullptr) {
    text = settings->serverHistory[0];
  }
  if (server != nullptr) SetFieldText(server, kFieldChars, text);
  if (port != nullptr) *port = resolvedPort;
  if (groupIndex != nullptr)
    *groupIndex = (settings != nullptr && server != nullptr) ? settings->FindGroupIndex(server) : -1;
}
