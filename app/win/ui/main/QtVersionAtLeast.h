// Whether the Qt library the program runs with is at least a version.
#pragma once

#include <QString>

// Compares whole version numbers ("5.15.8" is newer than "5.3.0"). The
// running version is qVersion() unless given.
bool QtVersionAtLeast(const QString& version, const QString& running = QString());
