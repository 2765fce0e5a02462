#include "cli/RunFlags.h"

int g_exitRequested = 0;
int g_firstStart = 1;
