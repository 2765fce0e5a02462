#include "ui/options/OptionsHost.h"

#include <QListWidget>
#include <atomic>

namespace {
std::atomic<OptionsHost*> g_host{nullptr};
}

std::vector<uint32_t> OptionsHost::GetDisplayModes(int) { return {}; }
std::vector<uint8_t> OptionsHost::GetColorDepths() { return {16, 24}; }
int OptionsHost::GetScreenCount() { return 1; }
QList<QRect> OptionsHost::GetScreenRects() { return {}; }
bool OptionsHost::IsNewGuiLayout() { return false; }
void OptionsHost::ShowApplicationTitle() {}
QWidget* OptionsHost::CreateServerConnectionWidget(QWidget*) { return nullptr; }
void OptionsHost::LoadServerConnectionWidget(QWidget*) {}
QListWidget* OptionsHost::CreateServersListWidget(QWidget* parent) { return new QListWidget(parent); }
void OptionsHost::StartListProgress(QListWidget*, int) {}
void OptionsHost::StepListProgress(QListWidget*, int) {}
void OptionsHost::FinishListProgress(QListWidget*) {}
QObject* OptionsHost::ServerFinder() { return nullptr; }
int OptionsHost::StartServerSearch() { return 1; }
QStringList OptionsHost::GetServerNames() { return {}; }

OptionsHost* SetOptionsHost(OptionsHost* host) { return g_host.exchange(host); }

OptionsHost& GetOptionsHost() {
  static OptionsHost standIn;
  OptionsHost* host = g_host.load();
  return host != nullptr ? *host : standIn;
}
