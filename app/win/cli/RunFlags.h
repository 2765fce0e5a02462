// The run loop's process-wide flags, written on the GUI thread only.
#pragma once

// Ends the run loop after the current pass: set by the main window's
// close, a launch file, a "-url" connection, "exitOnDisconnect" and a
// command line that cleared its run flag.
extern int g_exitRequested;
// 1 until the first pass of the run loop has ended; the main window starts
// server discovery only on the first start.
extern int g_firstStart;
