// The Foundation stand-in: one umbrella header, as on the original platform.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <Foundation/NSObject.h>
#include <Foundation/NSNotification.h>
#include <Foundation/NSUserDefaults.h>
#include <Foundation/NSFileManager.h>
#include <Foundation/NSBundle.h>
#include <Foundation/NSProcessInfo.h>
