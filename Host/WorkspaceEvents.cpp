#include "WorkspaceEvents.h"

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

}  // namespace tidemark
