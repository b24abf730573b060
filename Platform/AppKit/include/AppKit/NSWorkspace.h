// The workspace: the desktop session as applications see it, and the notifications it posts.
#pragma once

#include <Foundation/Foundation.h>

// Posted on the workspace's own notification center, with the workspace as their object. The host
// feeds them from the system: sleep and power-off before they happen, wake after it, and the
// launch of any application.
extern const CFStringRef NSWorkspaceWillSleepNotification;
extern const CFStringRef NSWorkspaceWillPowerOffNotification;
extern const CFStringRef NSWorkspaceDidWakeNotification;
extern const CFStringRef NSWorkspaceDidLaunchApplicationNotification;

class NSWorkspace : public NSObject {
public:
    // The process's one workspace; never destroyed.
    static NSWorkspace &sharedWorkspace();

    // A center of the workspace's own, not the default center.
    NSNotificationCenter &notificationCenter() noexcept { return notificationCenter_; }

private:
    NSWorkspace() = default;
    NSNotificationCenter notificationCenter_;
};
