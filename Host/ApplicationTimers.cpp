#include "ApplicationTimers.h"

namespace tidemark {
namespace {

class TimerSnapshot : public PLTimer {
public:
    TimerSnapshot(const Timer &timer, Instant now)
        : running_(timer.running()), mode_(static_cast<long>(timer.mode)), alarm_(timer.alarmDate(now)) {}

    bool running() const override { return running_; }
    long mode() const override { return mode_; }
    wfs::CFRef<CFDateRef> alarmDate() const override {
        if (!alarm_) return wfs::CFRef<CFDateRef>();
        const double unix = static_cast<double>(alarm_->time_since_epoch().count());
        return wfs::CFRef<CFDateRef>(CFDateCreate(nullptr, unix - kCFAbsoluteTimeIntervalSince1970));
    }

private:
    bool running_;
    long mode_;
    std::optional<Instant> alarm_;
};

}  // namespace

NSApplication::TimersSource TimersOf(const AlarmClock &clock) {
    return [&clock] {
        const Instant now = AlarmClock::SystemNow();
        auto timers = std::make_shared<PLTimerCollection>();
        for (const Timer &timer : clock.timers()) timers->push_back(std::make_shared<TimerSnapshot>(timer, now));
        return std::shared_ptr<const PLTimerCollection>(std::move(timers));
    };
}

}  // namespace tidemark
