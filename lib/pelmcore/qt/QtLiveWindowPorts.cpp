#include "qt/QtLiveWindowPorts.h"

#include "qt/QtSystemApi.h"

namespace {

// Asks for the live system API at every call, so a window that outlives it
// finds nothing rather than a freed object.
class LivePorts final : public IQtWindowPorts {
 public:
  ISessionStatus* Session() const override { return CQtSystemApi::Instance(); }
  ISessionInputPort* Input() const override { return CQtSystemApi::Instance(); }
  IQtSessionWindows* Windows() const override { return CQtSystemApi::Instance(); }
  IQtDisplayFrames* Frames() const override { return CQtSystemApi::Instance(); }
  IQtPointerDisplay* Pointer() const override { return CQtSystemApi::Instance(); }
};

}  // namespace

const IQtWindowPorts& LiveSystemApiPorts() {
  static const LivePorts ports;
  return ports;
}
