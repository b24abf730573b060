#include "WorkspaceEvents.h"

#include <AppKit/AppKit.h>

namespace tidemark {

const char *WorkspaceEventName(WorkspaceEvent event) {
    switch (event) {
        case WorkspaceEvent::WillSleep: return "will-sleep";
        case WorkspaceEvent::DidWake: return "did-wake";
        case WorkspaceEvent::WillPowerOff: return "will-power-off";
        case WorkspaceEvent::DidLaunchApplication: return "did-launch-application";
    }
    return "unknown";
}

void PostToWorkspace(WorkspaceEvent event) {
    CFStringRef name = nullptr;
    switch (event) {
        case WorkspaceEvent::WillSleep: name = NSWorkspaceWillSleepNotification; break;
        case WorkspaceEvent::DidWake: name = NSWorkspaceDidWakeNotification; break;
        case WorkspaceEvent::WillPowerOff: name = NSWorkspaceWillPowerOffNotification; break;
        case WorkspaceEvent::DidLaunchApplication: name = NSWorkspaceDidLaunchApplicationNotification; break;
    }
    NSWorkspace &workspace = NSWorkspace::sharedWorkspace();
    workspace.notificationCenter().postNotificationName(name, &workspace);
}

}  // namespace tidemark
