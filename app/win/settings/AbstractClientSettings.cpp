#include "settings/AbstractClientSettings.h"

#include <QCoreApplication>
#include <cstring>
#include <mutex>

#include "pelplat/shell.h"
#include "pelplat/utf16.h"
#include "settings/ProfileKeys.h"
#include "settings/ProfileNames.h"
#include "settings/SecuritySettings.h"
#include "settings/SystemApiLink.h"

namespace {

// Guards the instance pointer, so that threads other than the GUI thread
// never reach an object that is being destroyed.
std::mutex g_instanceMutex;
CAbstractClientSettings* g_instance = nullptr;

void CopyEntry(WCHAR* to, const WCHAR* from) { std::memcpy(to, from, kFieldChars * sizeof(WCHAR)); }

// The first non-empty history entry equal to the address in its first 259
// characters; -1 when none.
int FindHistoryEntry(const WCHAR (*history)[kFieldChars], const WCHAR* address) {
  for (int i = 0; i < kHistoryEntries; ++i)
    if (history[i][0] != 0 && TextEquals(history[i], address, kFieldTextMax)) return i;
  return -1;
}

std::u16string ToU16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), text.size());
}

}  // namespace

CAbstractClientSettings::CAbstractClientSettings(bool noSaveFlag) {
  store = new SettingsStore();
  SetDefaults();
  noSave = noSaveFlag ? 1 : 0;
  SetFieldText(profileName, kFieldChars,
               CurrentProfileName[0] != 0 ? std::u16string(CurrentProfileName) : DefaultProfileName());
  if (!noSave) {
    std::lock_guard<std::mutex> guard(g_instanceMutex);
    g_instance = this;
  }
}

CAbstractClientSettings::~CAbstractClientSettings() {
  {
    std::lock_guard<std::mutex> guard(g_instanceMutex);
    if (g_instance == this) g_instance = nullptr;
  }
  std::memset(passwordBlock, 0, sizeof passwordBlock);
  delete store;
}

CAbstractClientSettings* CAbstractClientSettings::GetInstance() {
  std::lock_guard<std::mutex> guard(g_instanceMutex);
  return g_instance;
}

int CAbstractClientSettings::InstanceServerCount(int groupIndex) {
  std::lock_guard<std::mutex> guard(g_instanceMutex);
  return g_instance == nullptr ? -1 : g_instance->GetServerCount(groupIndex);
}

void CAbstractClientSettings::SetDefaults() {
  ApplyProfileKeyDefaults(*this);
  std::memset(serverHistory, 0, sizeof serverHistory);
  std::memset(profileName, 0, sizeof profileName);
  // An empty password is the scramble of a zero block.
  CSecXoredBlock empty(nullptr, sizeof passwordBlock);
  empty.Transform();
  std::memcpy(passwordBlock, empty.BytePtr(), sizeof passwordBlock);
  ISettingsSystemApi& api = SettingsSystemApi();
  screenSizes[0] = api.FindBestMode(0);
  screenSizes[1] = api.FindBestMode(1);
  colorDepth = api.GetDefaultColorDepth();
  autoDetectAudioVideo = 1;
  clipboardShare = 1;
  noSave = 0;
  SaveEngineLog = 1;
}

void CAbstractClientSettings::AddServerToHistory(const WCHAR* text) {
  if (text == nullptr) return;
  // The caller may pass one of the entries themselves.
  const std::u16string copy = FieldCut(text);
  const WCHAR* address = copy.c_str();
  int found = FindHistoryEntry(serverHistory, address);
  if (found >= 0) {
    // The last entry keeps its text; the second search below drops it.
    for (int j = found; j + 1 < kHistoryEntries; ++j) CopyEntry(serverHistory[j], serverHistory[j + 1]);
  }
  found = FindHistoryEntry(serverHistory, address);
  int position = found >= 0 ? found : kHistoryEntries - 1;
  for (int j = position; j > 0; --j) CopyEntry(serverHistory[j], serverHistory[j - 1]);
  SetFieldText(serverHistory[0], kFieldChars, address);
}

void CAbstractClientSettings::SetUserName(const WCHAR* text) { SetFieldText(userName, kFieldChars, text); }
void CAbstractClientSettings::SetDomain(const WCHAR* text) { SetFieldText(domain, kFieldChars, text); }
void CAbstractClientSettings::SetProgramPath(const WCHAR* text) {
  SetFieldText(programPath, kFieldChars, text);
}
void CAbstractClientSettings::SetWorkingDir(const WCHAR* text) {
  SetFieldText(workingDir, kFieldChars, text);
}

void CAbstractClientSettings::SetPassword(const WCHAR* text) {
  static const WCHAR kEmpty[1] = {0};
  if (text == nullptr) text = kEmpty;
  StoreScrambledText(passwordBlock, text, BoundedTextLength(text, kPasswordMaxChars));
}

void CAbstractClientSettings::GetPassword(WCHAR* buffer, size_t n) const {
  if (buffer == nullptr || n == 0) return;
  CSecXoredBlock clear(passwordBlock, sizeof passwordBlock);
  clear.Transform();
  const BYTE* bytes = clear.BytePtr();
  size_t length = 0;
  while (length + 1 < n && length < kPasswordBlockBytes / 2) {
    WCHAR c = static_cast<WCHAR>(bytes[2 * length] | (bytes[2 * length + 1] << 8));
    if (c == 0) break;
    buffer[length++] = c;
  }
  // A cut must not leave half a surrogate pair at the end.
  if (length + 1 == n && length > 0 && buffer[length - 1] >= 0xD800 && buffer[length - 1] <= 0xDBFF)
    --length;
  std::memset(buffer + length, 0, (n - length) * sizeof(WCHAR));
}

bool CAbstractClientSettings::FindInt(const std::u16string& key, int32_t* value) {
  return store->FindInt(key, value);
}
bool CAbstractClientSettings::FindText(const std::u16string& key, std::u16string* value) {
  return store->FindText(key, value);
}
void CAbstractClientSettings::SetInt(const std::u16string& key, int32_t value) { store->SetInt(key, value); }
void CAbstractClientSettings::SetText(const std::u16string& key, const std::u16string& value) {
  store->SetText(key, value);
}
void CAbstractClientSettings::SetBinary(const std::u16string& key, const std::vector<BYTE>& value) {
  store->SetBinary(key, value);
}

int32_t CAbstractClientSettings::GetInt(const std::u16string& key, int32_t defaultValue) {
  int32_t value = defaultValue;
  store->FindInt(key, &value);
  return value;
}

bool CAbstractClientSettings::GetBool(const std::u16string& key, bool defaultValue) {
  int32_t value = 0;
  return store->FindInt(key, &value) ? value != 0 : defaultValue;
}

bool CAbstractClientSettings::CreateProfileShortcut(const WCHAR* folder, const WCHAR* profile) {
  if (folder == nullptr || profile == nullptr) return false;
  CShellLink link;
  std::u16string arguments = u" -s \"" + std::u16string(profile) + u"\"";
  CSecuritySettings security;
  std::u16string target = security.GetExecutablePath();
  std::u16string description =
      ToU16(QCoreApplication::translate("CAbstractClientSettings", "Link to Kelvane Vesk Client profile : ")) +
      profile;
  size_t slash = target.rfind(u'/');
  std::u16string directory = slash == std::u16string::npos ? std::u16string() : target.substr(0, slash);
  HRESULT result = link.SetArguments(arguments.c_str());
  if (SUCCEEDED(result)) result = link.SetPath(target.c_str());
  if (SUCCEEDED(result)) result = link.SetDescription(description.c_str());
  if (SUCCEEDED(result)) result = link.SetWorkingDirectory(directory.c_str());
  if (FAILED(result)) return false;
  std::u16string file = std::u16string(folder) + profile + u".desktop";
  if (file.size() > kFieldTextMax) return false;
  return SUCCEEDED(link.Save(file.c_str(), TRUE));
}

int32_t GetGlobalIntSetting(const std::u16string& key, int32_t defaultValue) {
  std::lock_guard<std::mutex> guard(g_instanceMutex);
  return g_instance == nullptr ? defaultValue : g_instance->GetInt(key, defaultValue);
}

int32_t GetMultiMonitorSetting() { return GetGlobalIntSetting(u"MultiMonitor", 0); }
