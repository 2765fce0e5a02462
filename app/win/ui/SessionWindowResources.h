// The pictures of the session window are compiled into this static library;
// registering them here keeps the linker from leaving them out.
#pragma once

void InitSessionWindowResources();
