// The slot port the stream slot's tests attach: display 0 has a real Qt
// surface, 64 x 48 pixels at 24 bits unless a test says otherwise.
#pragma once

#include <memory>

#include "qt/QtDoubleBufferSurfaceKeeper.h"
#include "session/ClientConnectionParameter.h"
#include "../support/FakeSlotPort.h"

using StreamPort = testsupport::FakeSlotPortOf<CQtDoubleBufferSurfaceKeeper>;
using testsupport::Repaint;

inline std::shared_ptr<StreamPort> MakeStreamPort() { return std::make_shared<StreamPort>(64, 48, 24); }
