// The "MSVCEXT " slot's maker: a processor whose channels share one session
// over its slot port.
#include <memory>
#include <new>

#include "session/SlotProcessorFactory.h"
#include "virtchan/ChannelRDPCLIP.h"
#include "virtchan/ChannelRDPDR.h"
#include "virtchan/VirtChanSession.h"
#include "virtchan/VirtChanelsSlotProcessor.h"

void RegisterChannelsProcessorMaker() {
  virtchan::RegisterClipboardChannelMaker();
  virtchan::RegisterDeviceChannelMaker();
  RegisterSlotProcessorMaker(slotname::kChannels, [](const SlotProcessorContext& context) -> CSlotDataProcessor* {
    std::shared_ptr<ChannelSlotSession> session(new (std::nothrow) ChannelSlotSession);
    if (!session) return nullptr;
    return new (std::nothrow) CVirtChanelsSlotProcessor(context.slotId, std::move(session));
  });
}
