// The four commands of the command line: "-h" (help), "-ip" (server
// address), "-s" (settings profile) and "-url" (a connection link).
//
// Statuses: 0 success, -1 a missing parameter or a malformed value,
// kProfileNotFound for a profile that does not exist, the profile loader's
// result otherwise.
#pragma once

#include <cstdint>

#include "cli/CLIParser.h"
#include "cli/UrlConnect.h"
#include "pelplat/wintypes.h"

constexpr int32_t kProfileNotFound = static_cast<int32_t>(0x80000101u);
constexpr int32_t kMissingOrMalformed = -1;

class CHelpCommand : public CCLICommand {
 public:
  CHelpCommand() : CCLICommand(QStringLiteral("-h")) {}
  int32_t Execute(const QStringList& parameters) override;
  void PrintHelp() override;
};

class CIPCommand : public CCLICommand {
 public:
  CIPCommand() : CCLICommand(QStringLiteral("-ip")) {}
  int32_t Execute(const QStringList& parameters) override;
  void PrintHelp() override;
};

class CProfileCommand : public CCLICommand {
 public:
  CProfileCommand() : CCLICommand(QStringLiteral("-s")) {}
  int32_t Execute(const QStringList& parameters) override;
  void PrintHelp() override;
};

class CCmfUrlCommand : public CCLICommand {
 public:
  CCmfUrlCommand() : CCLICommand(QStringLiteral("-url")) {}
  int32_t Execute(const QStringList& parameters) override;
};
