// Plinth, the host's plug-in framework: one umbrella header.
#pragma once

#include <Foundation/Foundation.h>

#include <Plinth/PLLifecycleProtocol.h>
#include <Plinth/PLPreferencePaneProtocol.h>
#include <Plinth/PLLog.h>
#include <Plinth/PLApplication.h>
#include <Plinth/PLPluginLoader.h>
