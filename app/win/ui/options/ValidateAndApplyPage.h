// The one way an item's values are checked and written back. The main
// window's QtClientGui::ValidateAndApplyPage forwards here, and the options
// window calls it for the page being left.
#pragma once

class QtValidableItem;

// Validates, applies and, when the values changed, takes a new snapshot:
// true. A validation error with a text is shown in a critical box (when
// showMessage is set) and gives false; one without a text counts as
// success. What an apply step wrote before it threw stays written.
bool ValidateAndApplyPage(QtValidableItem* item, bool showMessage);
