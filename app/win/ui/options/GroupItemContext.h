// Ties a row of the server-groups tree to its place in the groups. The
// page makes one per row widget; the row widget owns it and frees it.
#pragma once

#include <cstdint>
#include <type_traits>

class QtServersGroupItem;

struct GroupItemContext {
  QtServersGroupItem* item;
  int32_t isGroup;           // 1 group row, 0 server row
  GroupItemContext* parent;  // the group's context for a server row
};

// The row widget frees its context without knowing the type.
static_assert(std::is_trivially_destructible<GroupItemContext>::value, "freed with plain operator delete");
