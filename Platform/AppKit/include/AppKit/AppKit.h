// The AppKit stand-in: one umbrella header, as on the original platform. The widget classes come
// in a library of their own, so that code linking this one needs no display toolkit.
#pragma once

#include <Foundation/Foundation.h>

#include <AppKit/NSWorkspace.h>
