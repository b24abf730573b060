// The pane's status line: is waking on, and when will the machine next wake.
#include "TDWakeFromSleepPreferencePaneExtension.h"

#include "TDWakeFromSleepController.h"

#include <IOKit/IOKit.h>

#include <cmath>
#include <ctime>

namespace {

bool IsWaking(CFTypeRef type) {
    for (CFStringRef waking : {CFSTR(kIOPMAutoWake), CFSTR(kIOPMAutoPowerOn), CFSTR(kIOPMAutoWakeOrPowerOn)}) {
        if (type != nullptr && CFEqual(type, waking)) return true;
    }
    return false;
}

// The earliest pending event that wakes the machine, whoever scheduled it: the machine wakes for
// each of them. NAN when there is none (or the store cannot be read).
CFAbsoluteTime NextWake() {
    wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    // The list is sorted by date.
    for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        CFTypeRef time = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey));
        if (IsWaking(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTypeKey))) && time != nullptr &&
            CFGetTypeID(time) == CFDateGetTypeID()) {
            return CFDateGetAbsoluteTime(static_cast<CFDateRef>(time));
        }
    }
    return NAN;
}

// Local time, in a form that reads the same in every language.
QString LocalTime(CFAbsoluteTime when) {
    const time_t seconds = static_cast<time_t>(std::floor(when + kCFAbsoluteTimeIntervalSince1970));
    struct tm local {};
    char text[64] = "";
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local) == 0) {
        return QString::number(static_cast<long long>(seconds));
    }
    return QString::fromLocal8Bit(text);
}

}  // namespace

QString TDWakeFromSleepPreferencePaneExtension::statusText() {
    TDWakeFromSleepController *controller = wakeFromSleepController();
    const bool privileged = controller != nullptr && controller->toolIsPrivileged();
    QString text = localized(privileged ? "The helper tool is privileged: this computer wakes for alarms."
                                        : "The helper tool is not privileged: this computer does not wake for alarms.");
    const CFAbsoluteTime next = NextWake();
    text += QLatin1Char('\n');
    text += std::isnan(next) ? localized("No wake is scheduled.")
                             : NSStringByFillingPlaceholder(localized("Next wake: %@"), LocalTime(next));
    return text;
}
