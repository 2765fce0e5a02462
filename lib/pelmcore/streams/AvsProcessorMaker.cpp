#include "streams/AvsProcessorMaker.h"

#include <new>

#include "session/SlotProcessorFactory.h"
#include "streams/AvsSlotDataProcessor.h"

void RegisterAvsProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kStream, [](const SlotProcessorContext& context) -> CSlotDataProcessor* {
    return new (std::nothrow) CAvsSlotDataProcessor(context.displayIndex);
  });
}
