// The command line's small command framework: the arguments are split into
// entries (an option and the values after it), and each entry whose name is
// a registered command is executed. Options that other parts read straight
// from the arguments have no command here and are skipped.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "cli/WinConsole.h"

class CCLICommand;
class CCLIParser;

// What a command reaches the parser through; handed to it at registration.
class CCLICommandContext {
 public:
  explicit CCLICommandContext(CCLIParser* parser) : parser_(parser) {}

  void Register(CCLICommand* command);
  void PrintLine(const QString& text);
  void Print(const QString& text);
  void PrintHelp();
  void PrintUnknownParameter(const QString& parameter, const QString& command);
  int RunCount() const;
  bool IsConsoleAttached() const;
  void ClearRunFlag();

 private:
  CCLIParser* parser_;
};

class CCLICommand {
 public:
  explicit CCLICommand(const QString& name) : name_(name) {}
  virtual ~CCLICommand() = default;

  // Keeps the context and files the command under its name.
  virtual void Register(CCLICommandContext* context);
  // 0 on success; see the command statuses in CLICommands.h.
  virtual int32_t Execute(const QStringList& parameters) = 0;
  // Prints the help line, without the line break.
  virtual void PrintHelp() {}

  const QString& Name() const { return name_; }

  CCLICommand(const CCLICommand&) = delete;
  CCLICommand& operator=(const CCLICommand&) = delete;

 protected:
  QString name_;
  CCLICommandContext* context_ = nullptr;
};

class CCLIParser {
 public:
  // Receives every text the parser prints; standard output by default.
  using Output = std::function<void(const QString& text)>;

  struct Entry {
    QString name;
    QStringList parameters;
  };

  explicit CCLIParser(const QString& banner);
  CCLIParser(const QString& banner, Output output, CWinConsole::TerminalProbe probe);
  ~CCLIParser();

  void RegisterCommands(int count, CCLICommand* const* commands);
  // Splits the arguments after the program path into entries; returns 0.
  int Parse(int argc, char** argv);
  // The status of the entry that stopped the execution, else 0.
  int32_t Execute();
  bool IsRunning() const { return running_; }

  void AttachParentConsole();
  void DetachConsole();

  void PrintHelp();
  void PrintLine(const QString& text);
  void Print(const QString& text);
  void PrintUnknownParameter(const QString& parameter, const QString& command);
  CCLICommand* FindCommand(const QString& name) const;

  int RunCount() const { return runCount_; }
  bool IsConsoleAttached() const { return console_.IsAttached(); }
  void ClearRunFlag() { running_ = false; }
  const QList<Entry>& Entries() const { return entries_; }

  CCLIParser(const CCLIParser&) = delete;
  CCLIParser& operator=(const CCLIParser&) = delete;

 private:
  friend class CCLICommandContext;
  void PrintBannerOnce();

  CCLICommandContext context_;
  bool bannerPrinted_ = false;
  int runCount_ = 0;
  bool running_ = true;
  QMap<QString, CCLICommand*> commands_;
  QString banner_;
  QList<Entry> entries_;
  Output output_;
  CWinConsole console_;
};
