// The SecurityInterface stand-in: one umbrella header, as on the original platform.
#pragma once

#include <SecurityInterface/SFAuthorizationView.h>
