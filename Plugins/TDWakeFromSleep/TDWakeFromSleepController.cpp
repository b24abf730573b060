// The controller's life and its notifications: the shared instance, registering for the workspace
// notifications, choosing the wake date among the host's timers and keeping it in the defaults.
// Its requests to the helper tool are in TDWakeFromSleepControllerTool.cpp.
#include "TDWakeFromSleepController.h"

#include "TDWakeFromSleepControllerInternal.h"

#include "MoreUNIX.h"

#include <Plinth/Plinth.h>

#include <new>

using wfs::CFRef;

NS_DEFINE_CLASS(TDWakeFromSleepController)

namespace {

// A date handed to the tool must leave it time to be scheduled before the machine is gone.
constexpr CFTimeInterval kMinimumWakeInterval = 30.0;

}  // namespace

TDWakeFromSleepController *TDWakeFromSleepController::sharedInstance() {
    // Touched on the main thread only, as every entry point of the plug-in is.
    static TDWakeFromSleepController *instance = nullptr;
    if (instance == nullptr) {
        try {
            instance = new TDWakeFromSleepController;
        } catch (const std::bad_alloc &) {
            // The slot stays empty, and the next call tries again.
        }
    }
    return instance;
}

TDWakeFromSleepController::TDWakeFromSleepController() {
    // A tool that goes away mid-request must show up as EPIPE, not end the host.
    (void)MoreUNIXIgnoreSIGPIPE();
    NSNotificationCenter &center = NSWorkspace::sharedWorkspace().notificationCenter();
    try {
        center.addObserver(this, &TDWakeFromSleepController::cancelScheduledWakes,
                           NSWorkspaceDidLaunchApplicationNotification, nullptr);
        center.addObserver(this, &TDWakeFromSleepController::cancelScheduledWakes, NSWorkspaceDidWakeNotification,
                           nullptr);
        center.addObserver(this, &TDWakeFromSleepController::scheduleWakes, NSWorkspaceWillPowerOffNotification,
                           nullptr);
        center.addObserver(this, &TDWakeFromSleepController::scheduleWakes, NSWorkspaceWillSleepNotification, nullptr);
    } catch (...) {
        // A controller that was never made must not stay registered.
        center.removeObserver(this);
        throw;
    }
}

TDWakeFromSleepController::~TDWakeFromSleepController() {
    NSWorkspace::sharedWorkspace().notificationCenter().removeObserver(this);
    // Replacing the authorization keeps its rights for the pane that handed it over; at the end
    // nothing is left to use them.
    if (myAuthorizationRef != nullptr) (void)AuthorizationFree(myAuthorizationRef, kAuthorizationFlagDestroyRights);
}

void TDWakeFromSleepController::scheduleWakes(const NSNotification &) {
    if (!toolIsPrivileged()) return;
    const std::shared_ptr<const PLTimerCollection> timers = NSApp()->valueForKey(CFSTR("timers"));
    // One moment for the whole pass: an alarm counts exactly when it lies after it.
    const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
    CFRef<CFDateRef> earliest;
    if (timers) {
        for (const std::shared_ptr<const PLTimer> &timer : *timers) {
            // Only running alarms count; the mode is asked only of a running timer, and the alarm
            // date only of a running alarm.
            if (!timer || !timer->running() || timer->mode() != 1) continue;
            CFRef<CFDateRef> alarm = timer->alarmDate();
            if (!alarm || !(CFDateGetAbsoluteTime(alarm.get()) > now)) continue;
            if (!earliest || CFDateGetAbsoluteTime(alarm.get()) < CFDateGetAbsoluteTime(earliest.get())) {
                earliest = std::move(alarm);
            }
        }
    }
    setWakeDate(earliest.get());
}

void TDWakeFromSleepController::cancelScheduledWakes(const NSNotification &) {
    if (toolIsPrivileged()) setWakeDate(nullptr);
}

CFRef<CFTypeRef> TDWakeFromSleepController::wakeDate() {
    return NSUserDefaults::standardUserDefaults()->objectForKey(TDWakeFromSleepWakeDateKey);
}

void TDWakeFromSleepController::setWakeDate(CFDateRef date) {
    const CFRef<CFTypeRef> old = wakeDate();
    const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
    // Only a date can be compared with or cancelled. Anything else under the key (written by hand,
    // say) is simply replaced or removed below.
    const auto oldDate = old && CFGetTypeID(old.get()) == CFDateGetTypeID() ? static_cast<CFDateRef>(old.get()) : nullptr;

    if (date != nullptr && oldDate != nullptr && CFDateGetAbsoluteTime(date) == CFDateGetAbsoluteTime(oldDate)) return;
    // A date that has passed has no event left to cancel; one at this very moment still may.
    if (oldDate != nullptr && !(CFDateGetAbsoluteTime(oldDate) < now)) cancelWakeFromSleepAtDate(oldDate);

    const std::shared_ptr<NSUserDefaults> defaults = NSUserDefaults::standardUserDefaults();
    if (date == nullptr) {
        defaults->removeObjectForKey(TDWakeFromSleepWakeDateKey);
    } else {
        CFRef<CFDateRef> wake = CFRef<CFDateRef>::Retain(date);
        const CFAbsoluteTime current = CFAbsoluteTimeGetCurrent();
        if (CFDateGetAbsoluteTime(date) - current <= kMinimumWakeInterval) {
            wake.reset(CFDateCreate(nullptr, current + kMinimumWakeInterval));
            PLLog::warn(CFSTR("wakeDate is less then 30 seconds away, rescheduling wake date to now + 30 seconds"),
                        __LINE__, kTDControllerLogFile, "-[TDWakeFromSleepController setWakeDate:]");
        }
        if (!wake) return;  // out of memory: nothing stored, nothing scheduled
        // Stored before it is scheduled: the entry holds what was handed to the tool, whether or
        // not the request succeeded.
        defaults->setObject(wake.get(), TDWakeFromSleepWakeDateKey);
        scheduleWakeFromSleepAtDate(wake.get());
    }
    defaults->synchronize();
}
