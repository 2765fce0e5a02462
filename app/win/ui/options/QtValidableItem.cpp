#include "ui/options/QtValidableItem.h"

namespace {
const char kSeparator[] = "<:>";
}

QtValidableItem::~QtValidableItem() = default;

bool QtValidableItem::IsChanged() { return GetValues().join(kSeparator) != snapshot.join(kSeparator); }

void QtValidableItem::TakeSnapshot() { snapshot = GetValues(); }
