// Named groups of up to ten server addresses, tried in order. A transient
// group was made at run time and is left out of the next save.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pelplat/wintypes.h"
#include "sys/FixedText.h"
#include "sys/_synchro.h"

constexpr int kGroupAddresses = 10;

struct ServerGroupRecord {
  uint8_t transient = 0;
  WCHAR addresses[kGroupAddresses][kFieldChars] = {};  // empty entries only at the end
  WCHAR name[kFieldChars] = {};
};

// Every operation takes the map's own lock, so the server-switch thread can
// count a group's addresses while the GUI thread edits groups. The three
// lookups that return text share one process-wide buffer each, overwritten
// by the next call: callers copy the text at once (GUI thread only).
class CServersGroups {
 public:
  CServersGroups();
  ~CServersGroups();

  // Puts the address first (moving it there when present); at most ten
  // remain. A missing group is created.
  void AddServerAddressToGroup(const WCHAR* group, const WCHAR* address);
  // A new empty group, replacing any group of that name.
  void AddGroup(const WCHAR* name, bool transient);
  void DeleteGroupServer(const WCHAR* name);
  // From the named group (created when missing) or, when group is null,
  // from the caller's record.
  void DeleteServerAddressFromGroup(const WCHAR* group, const WCHAR* address,
                                    ServerGroupRecord* record);
  // Moves or inserts address just after anchor, or in its place when
  // atAnchor is set; a null anchor means the first position. Nothing
  // changes when the anchor is not in the group.
  void MoveServerAddress(const WCHAR* group, const WCHAR* anchor, const WCHAR* address,
                         bool atAnchor);
  void RenameGroup(const WCHAR* oldName, const WCHAR* newName);
  void CopyFrom(CServersGroups& other);
  void CopyTo(CServersGroups& other);
  void MarkPersistent(const WCHAR* name);

  int FindGroupIndex(const WCHAR* name);           // -1 when none
  const WCHAR* GetGroupName(int index);            // null when out of range
  int GetServerCount(int index);                   // -1 when out of range
  const WCHAR* GetGroupServer(int index, int n);   // empty when out of range
  const WCHAR* FindGroupServer(const WCHAR* name, int n);  // null for n > 9
  int GetGroupCount();

  // For the profile files.
  std::vector<ServerGroupRecord> CopyRecords();  // in map order
  void ClearGroups();
  void PutGroup(const ServerGroupRecord& record);  // filed under its name

  CServersGroups(const CServersGroups&) = delete;
  CServersGroups& operator=(const CServersGroups&) = delete;

 private:
  using GroupMap = std::map<std::u16string, ServerGroupRecord>;
  ServerGroupRecord& GroupLocked(const WCHAR* name);  // created when missing
  const ServerGroupRecord* AtLocked(int index) const;
  // Edits a copy of the group's record (made when missing) and stores it.
  void EditGroupCopy(const WCHAR* group, const WCHAR* address,
                     void (*edit)(ServerGroupRecord&, const WCHAR*));

  CxLock lock_;
  GroupMap groups_;
};
