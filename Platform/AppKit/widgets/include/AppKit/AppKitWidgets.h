// AppKit's widget part: views, buttons, images and nib loading over Qt 6 Widgets. A library of its
// own (AppKitWidgets), so that code that needs only the workspace (<AppKit/AppKit.h>) links no
// display toolkit.
#pragma once

#include <AppKit/AppKit.h>

#include <AppKit/NSImage.h>
#include <AppKit/NSNibLoading.h>
#include <AppKit/NSStringQt.h>
#include <AppKit/NSView.h>
