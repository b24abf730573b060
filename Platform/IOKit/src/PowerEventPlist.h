// The property-list form of the scheduled events: an array of dictionaries with the keys "time"
// (date), "scheduledby" (string) and "eventtype" (string), the same shape that
// IOPMCopyScheduledPowerEvents answers. Not installed.
#pragma once

#include "PowerEvent.h"

#include <IOKit/IOReturn.h>

#include <string>
#include <vector>

namespace wfs::iokit {

// A new array of new dictionaries, in the order given; NULL when out of memory.
CFArrayRef CreateEventArray(const std::vector<PowerEvent> &events);

// The XML document of `events`. kIOReturnNoMemory or kIOReturnError when it cannot be made.
IOReturn EncodeEvents(const std::vector<PowerEvent> &events, std::string &document);

// Parses a store document. False when it is not a property list or not of the shape above: the
// root must be an array; each element a dictionary whose three keys have the right types, a known
// type and a scheduler of 1..255 bytes (further keys are ignored, for stores of later versions).
// Answers the events sorted and without duplicates.
bool DecodeEvents(const std::string &document, std::vector<PowerEvent> &events);

}  // namespace wfs::iokit
