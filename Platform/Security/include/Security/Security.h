/* Umbrella header of the Security stand-in. */
#pragma once

#include <Security/Authorization.h>
