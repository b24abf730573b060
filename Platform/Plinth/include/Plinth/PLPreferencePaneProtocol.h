// What the host's preferences window asks of a plug-in's preference pane extension.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

// The image and view types come with the widget library.
class NSImage;
class NSView;

class PLPreferencePaneProtocol {
public:
    virtual ~PLPreferencePaneProtocol();
    virtual wfs::CFRef<CFStringRef> preferencePaneIdentifier() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneTitle() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneLabel() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneTooltip() = 0;
    // Owned by the extension, and valid as long as it lives.
    virtual NSImage *preferencePaneImage() = 0;
    virtual NSView *preferencePaneView() = 0;
    virtual float preferencePaneOrderWeight() = 0;
    // Sent before the pane is shown.
    virtual void willDisplayPreferencePane() = 0;
};
