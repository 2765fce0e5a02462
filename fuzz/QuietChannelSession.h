// The channel fuzz targets' session: bound to no slot port, it drops every
// send and has no connection parameters.
#pragma once

#include "virtchan/VirtChanSession.h"

class QuietChannelSession : public ChannelSlotSession {};
