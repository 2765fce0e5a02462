#include "audio/AudioProcessorMaker.h"

#include <new>

#include "audio/AudioSlotDataProcessor.h"
#include "session/SlotProcessorFactory.h"

void RegisterAudioProcessorMaker() {
  RegisterSlotProcessorMaker(slotname::kAudio, [](const SlotProcessorContext&) -> CSlotDataProcessor* {
    return new (std::nothrow) CAudioSlotDataProcessor;
  });
}
