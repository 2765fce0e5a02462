// Profile names as the profile page and the profile view show them.
#pragma once

#include <QString>

// A text longer than limit becomes its first limit / 2 characters, "..."
// and its last limit / 2 characters.
QString ElideMiddle(const QString& text, int limit = 20);
