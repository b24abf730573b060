#include <Plinth/PLLifecycleProtocol.h>
#include <Plinth/PLPreferencePaneProtocol.h>

// Out of line, so that each protocol's type information lives in this library alone.
PLLifecycleProtocol::~PLLifecycleProtocol() = default;
PLPreferencePaneProtocol::~PLPreferencePaneProtocol() = default;
