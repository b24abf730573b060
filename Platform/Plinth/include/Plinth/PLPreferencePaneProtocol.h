// What the host's preferences window asks of a plug-in's preference pane extension.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

// The image and view types come with AppKit's widget library (<AppKit/AppKitWidgets.h>): a view is
// a QWidget, an image a QIcon.
class NSImage;
class QWidget;
using NSView = QWidget;

class PLPreferencePaneProtocol {
public:
    virtual ~PLPreferencePaneProtocol();
    virtual wfs::CFRef<CFStringRef> preferencePaneIdentifier() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneTitle() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneLabel() = 0;
    virtual wfs::CFRef<CFStringRef> preferencePaneTooltip() = 0;
    // Owned by the extension, valid until it is asked again or goes away; null when it has none.
    // An image is a QIcon, a shared value: the host keeps a copy.
    virtual NSImage *preferencePaneImage() = 0;
    // Null when the view could not be made. The host may put the view into its window; a window
    // that is destroyed takes the view along, and the extension then makes a new one when asked.
    virtual NSView *preferencePaneView() = 0;
    virtual float preferencePaneOrderWeight() = 0;
    // Sent before the pane is shown.
    virtual void willDisplayPreferencePane() = 0;
};
