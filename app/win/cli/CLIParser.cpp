#include "cli/CLIParser.h"

#include <cstdio>

#include "pelplat/wintypes.h"

namespace {

void WriteToStdout(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
  fflush(stdout);
}

}  // namespace

void CCLICommandContext::Register(CCLICommand* command) { parser_->commands_.insert(command->Name(), command); }
void CCLICommandContext::PrintLine(const QString& text) { parser_->PrintLine(text); }
void CCLICommandContext::Print(const QString& text) { parser_->Print(text); }
void CCLICommandContext::PrintHelp() { parser_->PrintHelp(); }
void CCLICommandContext::PrintUnknownParameter(const QString& parameter, const QString& command) {
  parser_->PrintUnknownParameter(parameter, command);
}
int CCLICommandContext::RunCount() const { return parser_->RunCount(); }
bool CCLICommandContext::IsConsoleAttached() const { return parser_->IsConsoleAttached(); }
void CCLICommandContext::ClearRunFlag() { parser_->ClearRunFlag(); }

void CCLICommand::Register(CCLICommandContext* context) {
  context_ = context;
  context->Register(this);
}

CCLIParser::CCLIParser(const QString& banner) : CCLIParser(banner, WriteToStdout, nullptr) {}

CCLIParser::CCLIParser(const QString& banner, Output output, CWinConsole::TerminalProbe probe)
    : context_(this),
      banner_(banner),
      output_(output ? std::move(output) : Output(WriteToStdout)),
      console_(std::move(probe)) {}

CCLIParser::~CCLIParser() { DetachConsole(); }

void CCLIParser::RegisterCommands(int count, CCLICommand* const* commands) {
  for (int i = 0; i < count; ++i)
    if (commands[i] != nullptr) commands[i]->Register(&context_);
}

int CCLIParser::Parse(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    const QString argument = QString::fromLocal8Bit(argv[i]);
    if (argument.startsWith(QLatin1Char('-')))
      entries_.append(Entry{argument, {}});
    else if (!entries_.isEmpty())
      entries_.last().parameters.append(argument);
  }
  return 0;
}

int32_t CCLIParser::Execute() {
  ++runCount_;
  if (entries_.isEmpty()) return 0;
  PrintBannerOnce();
  int32_t status = 0;
  for (const Entry& entry : entries_) {
    CCLICommand* command = FindCommand(entry.name);
    if (command == nullptr) continue;
    int32_t result = command->Execute(entry.parameters);
    if (result == E_ACCESSDENIED) {
      running_ = false;
      result = 0;
    }
    if (result != 0) {
      status = result;
      break;
    }
  }
  bannerPrinted_ = false;
  return status;
}

void CCLIParser::AttachParentConsole() { console_.Attach(); }

void CCLIParser::DetachConsole() { console_.Detach(); }

void CCLIParser::PrintBannerOnce() {
  if (banner_.isEmpty() || bannerPrinted_) return;
  PrintLine(banner_);
  bannerPrinted_ = true;
}

void CCLIParser::PrintHelp() {
  // Outside an execution the banner is printed without setting the mark.
  if (!banner_.isEmpty() && !bannerPrinted_) PrintLine(banner_);
  for (CCLICommand* command : commands_) {
    command->PrintHelp();
    Print(QStringLiteral("\n"));
  }
}

void CCLIParser::PrintLine(const QString& text) { output_(text + QLatin1Char('\n')); }

void CCLIParser::Print(const QString& text) { output_(text); }

void CCLIParser::PrintUnknownParameter(const QString& parameter, const QString& command) {
  output_(QStringLiteral("Unknown parameter: %1, for command %2\n").arg(parameter, command));
}

CCLICommand* CCLIParser::FindCommand(const QString& name) const { return commands_.value(name, nullptr); }
