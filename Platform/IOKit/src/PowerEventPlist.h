// The property-list form of the scheduled events: an array of dictionaries with the keys "time"
// (date), "scheduledby" (string), "eventtype" (string) and "owneruid" (integer), the same shape
// that IOPMCopyScheduledPowerEvents answers. Not installed.
#pragma once

#include "PowerEvent.h"

#include <IOKit/IOReturn.h>

#include <string>
#include <string_view>
#include <vector>

namespace wfs::iokit {

// A new array of new dictionaries, in the order given; NULL when out of memory.
CFArrayRef CreateEventArray(const std::vector<PowerEvent> &events);

// The XML document of `events`. kIOReturnNoMemory or kIOReturnError when it cannot be made.
IOReturn EncodeEvents(const std::vector<PowerEvent> &events, std::string &document);

// Parses a store document into the events, sorted and without duplicates. Answers 0; EINVAL when
// the document is not a property list or not of the shape above (the root must be an array; each
// element a dictionary whose keys have the right types, a known type and a scheduler of 1..255
// bytes; further keys are ignored, for stores of later versions; an event without an owner, from
// a store older than owners, belongs to root); or ENOMEM when memory ran out before the document
// could be judged, which says nothing about the document.
int DecodeEvents(std::string_view document, std::vector<PowerEvent> &events);

}  // namespace wfs::iokit
