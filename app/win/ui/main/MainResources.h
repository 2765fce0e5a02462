// The main window's pictures and the application style sheet are compiled
// into the user-interface library; registering them here keeps the linker
// from leaving them out. Also registers the option pages' pictures, which
// the main window shares.
#pragma once

void InitMainResources();
