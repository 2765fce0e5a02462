#include "settings/ServersGroups.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

WCHAR g_groupNameBuffer[kFieldChars];
WCHAR g_groupServerBuffer[kFieldChars];
WCHAR g_foundServerBuffer[kFieldChars];

void ReportFailure(const char* where, const std::exception& e) {
  printf("ERR: %s$ %s\n", where, e.what());
  fflush(stdout);
}

// The first non-empty address equal to text in its first n characters.
int FindAddress(const ServerGroupRecord& record, const WCHAR* text, size_t n) {
  for (int i = 0; i < kGroupAddresses; ++i)
    if (record.addresses[i][0] != 0 && TextEquals(record.addresses[i], text, n)) return i;
  return -1;
}

void CopyAddress(ServerGroupRecord& record, int to, int from) {
  std::memcpy(record.addresses[to], record.addresses[from], sizeof record.addresses[to]);
}

void RemoveAddressAt(ServerGroupRecord& record, int position) {
  for (int j = position; j + 1 < kGroupAddresses; ++j) CopyAddress(record, j, j + 1);
  SetFieldText(record.addresses[kGroupAddresses - 1], kFieldChars, nullptr);
}

// Opens a place at position; the last address falls off.
void InsertAddressAt(ServerGroupRecord& record, int position, const WCHAR* address) {
  for (int j = kGroupAddresses - 1; j > position; --j) CopyAddress(record, j, j - 1);
  SetFieldText(record.addresses[position], kFieldChars, address);
}

void PutAddressFirst(ServerGroupRecord& record, const WCHAR* address) {
  int found = FindAddress(record, address, kFieldTextMax);
  int position = found >= 0 ? found : kGroupAddresses - 1;
  for (int j = position; j > 0; --j) CopyAddress(record, j, j - 1);
  SetFieldText(record.addresses[0], kFieldChars, address);
}

void RemoveAddress(ServerGroupRecord& record, const WCHAR* address) {
  int found = FindAddress(record, address, kFieldTextMax);
  if (found >= 0) RemoveAddressAt(record, found);
}

const WCHAR* CopyOut(WCHAR* buffer, const WCHAR* text) {
  SetFieldText(buffer, kFieldChars, text);
  return buffer;
}

}  // namespace

CServersGroups::CServersGroups() = default;

CServersGroups::~CServersGroups() = default;

ServerGroupRecord& CServersGroups::GroupLocked(const WCHAR* name) {
  std::u16string key = FieldCut(name);
  auto it = groups_.find(key);
  if (it != groups_.end()) return it->second;
  ServerGroupRecord& record = groups_[key];
  SetFieldText(record.name, kFieldChars, key);
  return record;
}

const ServerGroupRecord* CServersGroups::AtLocked(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= groups_.size()) return nullptr;
  auto it = groups_.begin();
  std::advance(it, index);
  return &it->second;
}

void CServersGroups::EditGroupCopy(const WCHAR* group, const WCHAR* address,
                                   void (*edit)(ServerGroupRecord&, const WCHAR*)) {
  CxAutoLock guard(&lock_);
  ServerGroupRecord& stored = GroupLocked(group);
  ServerGroupRecord copy = stored;
  edit(copy, address);
  stored = copy;
}

void CServersGroups::AddServerAddressToGroup(const WCHAR* group, const WCHAR* address) {
  if (group == nullptr || address == nullptr) return;
  try {
    EditGroupCopy(group, address, PutAddressFirst);
  } catch (const std::exception& e) {
    ReportFailure("CServersGroups::AddServerAddressToGroup", e);
  }
}

void CServersGroups::AddGroup(const WCHAR* name, bool transient) {
  if (name == nullptr) return;
  try {
    CxAutoLock guard(&lock_);
    std::u16string key = FieldCut(name);
    ServerGroupRecord record;
    record.transient = transient ? 1 : 0;
    SetFieldText(record.name, kFieldChars, key);
    groups_[key] = record;
  } catch (const std::exception& e) {
    ReportFailure("CServerGroups::SetGroupServerName", e);
  }
}

void CServersGroups::DeleteGroupServer(const WCHAR* name) {
  if (name == nullptr) return;
  try {
    CxAutoLock guard(&lock_);
    groups_.erase(FieldCut(name));
  } catch (const std::exception& e) {
    ReportFailure("CAbstractClientSettings::DeleteGroupServer", e);
  }
}

void CServersGroups::DeleteServerAddressFromGroup(const WCHAR* group, const WCHAR* address,
                                                  ServerGroupRecord* record) {
  if (address == nullptr || (group == nullptr && record == nullptr)) return;
  try {
    if (group == nullptr) {
      RemoveAddress(*record, address);
    } else {
      EditGroupCopy(group, address, RemoveAddress);
    }
  } catch (const std::exception& e) {
    ReportFailure("CServersGroups::DeleteServerAddressFromGroup", e);
  }
}

void CServersGroups::MoveServerAddress(const WCHAR* group, const WCHAR* anchor,
                                       const WCHAR* address, bool atAnchor) {
  if (group == nullptr || address == nullptr) return;
  CxAutoLock guard(&lock_);
  ServerGroupRecord& stored = GroupLocked(group);
  ServerGroupRecord copy = stored;
  int present = FindAddress(copy, address, kFieldChars);
  if (present >= 0) RemoveAddressAt(copy, present);
  int j = 0;
  if (anchor != nullptr) {
    j = FindAddress(copy, anchor, kFieldChars);
    if (j < 0) return;
  }
  int position = atAnchor ? j : j + 1;
  if (position >= kGroupAddresses) return;
  InsertAddressAt(copy, position, address);
  stored = copy;
}

void CServersGroups::RenameGroup(const WCHAR* oldName, const WCHAR* newName) {
  if (oldName == nullptr || newName == nullptr) return;
  CxAutoLock guard(&lock_);
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    if (!TextEquals(it->second.name, oldName, kFieldChars)) continue;
    ServerGroupRecord record = it->second;
    std::u16string key = FieldCut(newName);
    SetFieldText(record.name, kFieldChars, key);
    groups_.erase(it);
    groups_[key] = record;
    return;
  }
}

void CServersGroups::CopyFrom(CServersGroups& other) {
  if (&other == this) return;
  GroupMap copy;
  {
    CxAutoLock guard(&other.lock_);
    copy = other.groups_;
  }
  CxAutoLock guard(&lock_);
  groups_.swap(copy);
}

void CServersGroups::CopyTo(CServersGroups& other) { other.CopyFrom(*this); }

void CServersGroups::MarkPersistent(const WCHAR* name) {
  if (name == nullptr) return;
  CxAutoLock guard(&lock_);
  GroupLocked(name).transient = 0;
}

int CServersGroups::FindGroupIndex(const WCHAR* name) {
  CxAutoLock guard(&lock_);
  int index = 0;
  for (const auto& entry : groups_) {
    if (TextEquals(entry.second.name, name, kFieldChars)) return index;
    ++index;
  }
  return -1;
}

const WCHAR* CServersGroups::GetGroupName(int index) {
  CxAutoLock guard(&lock_);
  const ServerGroupRecord* record = AtLocked(index);
  return record == nullptr ? nullptr : CopyOut(g_groupNameBuffer, record->name);
}

int CServersGroups::GetServerCount(int index) {
  CxAutoLock guard(&lock_);
  const ServerGroupRecord* record = AtLocked(index);
  if (record == nullptr) return -1;
  int count = 0;
  for (const auto& address : record->addresses)
    if (address[0] != 0) ++count;
  return count;
}

const WCHAR* CServersGroups::GetGroupServer(int index, int n) {
  CxAutoLock guard(&lock_);
  const ServerGroupRecord* record = AtLocked(index);
  bool valid = record != nullptr && n >= 0 && n < kGroupAddresses;
  return CopyOut(g_groupServerBuffer, valid ? record->addresses[n] : nullptr);
}

const WCHAR* CServersGroups::FindGroupServer(const WCHAR* name, int n) {
  if (n < 0 || n >= kGroupAddresses) return nullptr;
  CxAutoLock guard(&lock_);
  auto it = name == nullptr ? groups_.end() : groups_.find(name);
  return CopyOut(g_foundServerBuffer, it == groups_.end() ? nullptr : it->second.addresses[n]);
}

int CServersGroups::GetGroupCount() {
  CxAutoLock guard(&lock_);
  return static_cast<int>(groups_.size());
}

std::vector<ServerGroupRecord> CServersGroups::CopyRecords() {
  CxAutoLock guard(&lock_);
  std::vector<ServerGroupRecord> records;
  records.reserve(groups_.size());
  for (const auto& entry : groups_) records.push_back(entry.second);
  return records;
}

void CServersGroups::ClearGroups() {
  CxAutoLock guard(&lock_);
  groups_.clear();
}

void CServersGroups::PutGroup(const ServerGroupRecord& record) {
  CxAutoLock guard(&lock_);
  std::u16string key = FieldCut(record.name);
  ServerGroupRecord& stored = groups_[key];
  stored = record;
  SetFieldText(stored.name, kFieldChars, key);
}
