// The window ports of the program's live system API: each answer is the
// system API made last and not yet destroyed, or null before it is made and
// after it is gone. What windows are handed when their maker gives them no
// other ports.
#pragma once

#include "qt/QtWindowPorts.h"

const IQtWindowPorts& LiveSystemApiPorts();
