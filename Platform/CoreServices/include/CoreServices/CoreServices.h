/* The CoreServices stand-in: one umbrella header, as on the original platform. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/MacErrors.h>
#include <CoreServices/Files.h>
#include <CoreServices/Folders.h>
#include <CoreServices/DriverServices.h>
