#include <AppKit/NSWorkspace.h>

const CFStringRef NSWorkspaceWillSleepNotification = CFSTR("NSWorkspaceWillSleepNotification");
const CFStringRef NSWorkspaceWillPowerOffNotification = CFSTR("NSWorkspaceWillPowerOffNotification");
const CFStringRef NSWorkspaceDidWakeNotification = CFSTR("NSWorkspaceDidWakeNotification");
const CFStringRef NSWorkspaceDidLaunchApplicationNotification = CFSTR("NSWorkspaceDidLaunchApplicationNotification");

NSWorkspace &NSWorkspace::sharedWorkspace() {
    // Never destroyed: observers that live as long as the process may still remove themselves
    // while it exits.
    static NSWorkspace *const workspace = new NSWorkspace;
    return *workspace;
}
