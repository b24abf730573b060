// The four system events the host reports to its plug-ins. Each becomes one workspace notification
// (will-sleep, did-wake, will-power-off, did-launch-application); the poster is the one place that
// turns them into notifications, so the monitors that observe the system know nothing of the
// notification center.
#pragma once

#include <functional>

namespace tidemark {

enum class WorkspaceEvent { WillSleep, DidWake, WillPowerOff, DidLaunchApplication };

// Delivers an event to its observers before it returns: logind waits for the host only while the
// host holds its inhibitor lock, so everything an observer does must be done by then.
using WorkspacePoster = std::function<void(WorkspaceEvent)>;

const char *WorkspaceEventName(WorkspaceEvent event);

// Posts the event's notification on NSWorkspace's own center, with the workspace as its object,
// synchronously: the plug-ins' observers have run when it returns.
void PostToWorkspace(WorkspaceEvent event);

}  // namespace tidemark
