/* The IOKit stand-in: one umbrella header, as on the original platform. Only the power manager's
   scheduled power events are provided. */
#pragma once

#include <IOKit/IOReturn.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
