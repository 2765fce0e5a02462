// The pipeline side of Media Foundation the media code includes; the
// objects it uses so far are those of mfapi.h.
#pragma once

#include "pelplat/mfapi.h"
#include "pelplat/mferror.h"
#include "pelplat/mfevents.h"
#include "pelplat/mfsource.h"
