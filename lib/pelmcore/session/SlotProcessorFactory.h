// Where the session core finds the processors of the slots that other
// subsystems serve (display, keyboard and pointer, audio, stream, virtual
// channels). Each subsystem registers a maker under the slot's table name;
// a slot without a maker gets no processor and its packets are dropped.
#pragma once

#include <cstdint>

class CClientConnectionParameter;
class CGenericClient;
class CSlotDataProcessor;

// The slot names of the hello's slot table, eight characters each.
namespace slotname {
constexpr char kKeyboard[] = "VIRTHID ";
constexpr char kDisplay[] = "HPVCARD ";
constexpr char kAudio[] = "KOVAUDIO";
constexpr char kStream[] = "ZEVOROD ";
constexpr char kChannels[] = "MSVCEXT ";
}  // namespace slotname

struct SlotProcessorContext {
  CGenericClient* client;
  const CClientConnectionParameter* parameters;
  int displayIndex;  // display and stream processors: 0 for the first display
  uint16_t slotId;   // the slot the processor will be registered at
};

// A new processor (owned by the caller) or null.
typedef CSlotDataProcessor* (*SlotProcessorMaker)(const SlotProcessorContext& context);

// Registers the maker for a slot name (the first 8 characters count); null
// removes it. Answers the maker it replaced. Safe on any thread.
SlotProcessorMaker RegisterSlotProcessorMaker(const char* slotName, SlotProcessorMaker maker);
SlotProcessorMaker FindSlotProcessorMaker(const char* slotName);
