// The "Started" record of a program start: a debug line, an entry in the
// system log and a line in pellum_system.log.
#pragma once

void ReportStarted();
