#include "program/StartedEvent.h"

#include <syslog.h>

#include <string>

#include "sys/klog.h"

namespace {

constexpr int kStartedEventId = 13;
constexpr char kEventSource[] = "Pellum";
constexpr char kSystemLogFile[] = "pellum_system.log";

// The system log stands in for the event log: the entry carries the event
// id and the two insertion strings. A log that cannot be reached is silent.
void ReportEvent(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  openlog(kEventSource, LOG_PID, LOG_USER);
  syslog(LOG_INFO, "event %d: %s: %s", kStartedEventId, kEventSource, line.c_str());
  closelog();
}

}  // namespace

void ReportStarted() {
  const LogText text = LogMessageA("Started");
  ReportEvent(text.c_str());
  AppendToLogFile(text, kSystemLogFile);
}
