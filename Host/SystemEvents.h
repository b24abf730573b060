// The system's events as the host reports them: sleep, wake and power-off from logind on the system
// bus, application launches from the session bus. The host makes one of these at start and keeps
// it for its life; `post` receives every event on the main thread.
#pragma once

#include "LaunchMonitor.h"
#include "LogindMonitor.h"

namespace tidemark {

class SystemEvents {
public:
    SystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus, const WorkspacePoster &post, const LogSink &log)
        : sleep_(std::move(systemBus), post, log), launches_(std::move(sessionBus), post, log) {}

    const LogindMonitor &sleep() const { return sleep_; }
    const LaunchMonitor &launches() const { return launches_; }

private:
    LogindMonitor sleep_;
    LaunchMonitor launches_;
};

}  // namespace tidemark
