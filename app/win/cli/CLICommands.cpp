#include "cli/CLICommands.h"

#include <QCoreApplication>
#include <cstdlib>

#include "pelplat/utf16.h"
#include "sys/FixedText.h"
#include "settings/QtClientSettings.h"
#include "settings/QtText.h"

namespace {

const QString kScheme = QStringLiteral("ybx://");

QString FirstParameter(const QStringList& parameters) { return parameters.first().left(kFieldTextMax); }

int32_t UrlKindOf(QChar letter) {
  switch (letter.unicode()) {
    case 'v':
      return kUrlView;
    case 'c':
      return kUrlControl;
    case 's':
      return kUrlS;
    default:
      return kUrlNone;
  }
}

// Leading hexadecimal digits (an optional 0x included); 0 when none.
uint64_t ReadHexId(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::strtoull(bytes.constData(), nullptr, 16);
}

}  // namespace

int32_t CHelpCommand::Execute(const QStringList&) {
  context_->PrintHelp();
  // Started from a terminal the help is all the user wanted.
  if (context_->RunCount() == 1 && context_->IsConsoleAttached()) context_->ClearRunFlag();
  return 0;
}

void CHelpCommand::PrintHelp() { context_->Print(QStringLiteral("-h\t\t Display help message.")); }

int32_t CIPCommand::Execute(const QStringList& parameters) {
  if (parameters.isEmpty()) return kMissingOrMalformed;
  CAbstractClientSettings* settings = CAbstractClientSettings::GetInstance();
  if (settings != nullptr) settings->AddServerToHistory(ToU16String(FirstParameter(parameters)).c_str());
  return 0;
}

void CIPCommand::PrintHelp() { context_->Print(QStringLiteral("%1\t\t Server IP address .").arg(name_)); }

int32_t CProfileCommand::Execute(const QStringList& parameters) {
  if (parameters.isEmpty()) return kMissingOrMalformed;
  const QString name = FirstParameter(parameters);
  if (!QtClientSettings::ListUserProfiles().contains(name) && !QtClientSettings::ListSystemProfiles().contains(name)) {
    context_->PrintLine(QCoreApplication::translate("CProfileCommand", "Cannot open settings file : %1").arg(name));
    context_->ClearRunFlag();
    return kProfileNotFound;
  }
  QtClientSettings* settings = QtClientSettings::GetInstance();
  const int32_t result = settings != nullptr ? settings->LoadProfile(ToU16String(name).c_str()) : -1;
  if (result != 0) {
    context_->PrintLine(QCoreApplication::translate("CProfileCommand", "Cannot open settings file."));
    context_->ClearRunFlag();
  }
  for (int i = 1; i < parameters.size(); ++i) context_->PrintUnknownParameter(parameters[i], name_);
  return result;
}

void CProfileCommand::PrintHelp() {
  context_->Print(QStringLiteral("-s <File>\tLoad user settings from <File>.ini."));
}

int32_t CCmfUrlCommand::Execute(const QStringList& parameters) {
  if (parameters.isEmpty()) return kMissingOrMalformed;
  UrlConnectKind = kUrlMalformed;
  const QString value = FirstParameter(parameters);
  // The server is read from just after the scheme, so the scheme must open
  // the value; a scheme further in would make the server text garbage.
  if (!value.startsWith(kScheme)) return kMissingOrMalformed;
  const int serverStart = kScheme.size();
  const int slash = value.indexOf(QLatin1Char('/'), serverStart);
  if (slash < 0) return kMissingOrMalformed;
  SetFieldText(g_urlServer, kUrlServerChars, ToU16String(value.mid(serverStart, slash - serverStart)));

  const int kindAt = slash + 1;
  const int32_t kind = kindAt < value.size() ? UrlKindOf(value[kindAt]) : kUrlNone;
  UrlConnectKind = kind;
  if (kind == kUrlNone) return kMissingOrMalformed;
  if (kindAt + 1 == value.size()) {
    g_urlId = 0;
    return 0;
  }
  // "?t=<hex id>[&o=<n>]": the '?' and the '=' are not examined.
  const int tAt = kindAt + 2;
  const int idStart = tAt + 2;
  if (tAt >= value.size() || value[tAt] != QLatin1Char('t')) {
    UrlConnectKind = kUrlMalformed;
    return kMissingOrMalformed;
  }
  int idEnd = idStart < value.size() ? value.indexOf(QLatin1Char('&'), idStart) : -1;
  if (idEnd < 0) idEnd = value.size();
  // An id text that is empty reads as 0, like any unreadable one.
  g_urlId = idStart < idEnd ? ReadHexId(value.mid(idStart, idEnd - idStart)) : 0;
  return 0;
}
