#include "PowerEvent.h"

#include <IOKit/pwr_mgt/IOPMKeys.h>

#include <algorithm>
#include <tuple>

namespace wfs::iokit {

bool IsKnownEventType(std::string_view type) {
    return IsWakingEventType(type) || type == kIOPMAutoSleep || type == kIOPMAutoShutdown ||
           type == kIOPMAutoRestart;
}

bool IsWakingEventType(std::string_view type) {
    return type == kIOPMAutoWake || type == kIOPMAutoPowerOn || type == kIOPMAutoWakeOrPowerOn;
}

bool IsValidScheduler(std::string_view scheduler) {
    return !scheduler.empty() && scheduler.size() <= kMaxSchedulerBytes;
}

bool EventLess(const PowerEvent &a, const PowerEvent &b) {
    return std::tie(a.time, a.type, a.scheduler, a.owner) < std::tie(b.time, b.type, b.scheduler, b.owner);
}

void NormalizeEvents(std::vector<PowerEvent> &events) {
    std::sort(events.begin(), events.end(), EventLess);
    events.erase(std::unique(events.begin(), events.end()), events.end());
}

void DropPastEvents(std::vector<PowerEvent> &events, CFAbsoluteTime now) {
    std::erase_if(events, [now](const PowerEvent &event) { return !(event.time > now); });
}

const PowerEvent *EarliestWakingEvent(const std::vector<PowerEvent> &events) {
    for (const PowerEvent &event : events) {
        if (IsWakingEventType(event.type)) return &event;
    }
    return nullptr;
}

bool CopyUTF8(CFStringRef string, std::string &out) {
    CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    CFIndex converted = CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0,
                                         false, nullptr, 0, &needed);
    if (converted != length) return false;
    out.assign(static_cast<size_t>(needed), '\0');
    if (needed == 0) return true;
    CFIndex used = 0;
    converted = CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                                 reinterpret_cast<UInt8 *>(out.data()), needed, &used);
    if (converted != length || used != needed) return false;
    return true;
}

}  // namespace wfs::iokit
