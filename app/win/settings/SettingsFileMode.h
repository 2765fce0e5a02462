#pragma once
// Who may read a settings file. Profiles of one user hold that user's
// scrambled password: only the user reads them. Shared profiles and the
// security file are read by every user of the machine, and only their
// owner writes them.

#include <QString>

enum class SettingsFileScope { kUser, kShared };

// Makes sure the file at `path` exists with the mode its scope needs (0600
// for a user's file, 0644 for a shared one) before QSettings writes it, and
// sets that mode again after: a link placed at the name is not followed.
// Returns false, with a log line, when the file cannot be made so.
bool PrepareSettingsFile(const QString& path, SettingsFileScope scope);
bool SetSettingsFileMode(const QString& path, SettingsFileScope scope);
