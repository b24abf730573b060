#include "AlarmClock.h"

#include <Support/Eintr.h>

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/timerfd.h>

namespace tidemark {
namespace {

constexpr char kLogTimeFormat[] = "%Y-%m-%d %H:%M %Z";

std::string NameOf(const Timer &timer) {
    const std::string kind = timer.mode == TimerMode::Alarm ? "alarm" : "timer";
    return kind + " " + timer.id + (timer.label.empty() ? "" : " \"" + timer.label + "\"");
}

}  // namespace

Instant AlarmClock::SystemNow() { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

AlarmClock::AlarmClock(Ringer ring, ChangeListener changed, LogSink log, Clock now, QObject *parent)
    : QObject(parent), ring_(std::move(ring)), changed_(std::move(changed)), log_(std::move(log)), now_(std::move(now)),
      lastCheck_(now_()) {
    timer_.reset(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer_) {
        log_(LogLevel::Error, std::string("cannot make a timer (") + strerror(errno) + "): alarms will not ring");
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(timer_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &AlarmClock::timerReady);
}

// The notifier watches the descriptor, so it goes first.
AlarmClock::~AlarmClock() { notifier_.reset(); }

void AlarmClock::setTimers(std::vector<Timer> timers) {
    ringDue();
    timers_ = std::move(timers);
    arm();
}

void AlarmClock::snooze(const std::string &id, std::chrono::minutes delay) {
    for (Timer &timer : timers_) {
        if (timer.id != id) continue;
        timer.snoozedUntil = now_() + delay;
        log_(LogLevel::Info, NameOf(timer) + " snoozed until " + FormatInstant(*timer.snoozedUntil, kLogTimeFormat));
        if (changed_) changed_(timers_);
        arm();
        return;
    }
}

void AlarmClock::systemResumed() {
    ringDue();
    arm();
}

void AlarmClock::timerReady() {
    uint64_t expirations = 0;
    const ssize_t n = wfs::RetryOnEintr([&] { return ::read(timer_.get(), &expirations, sizeof expirations); });
    if (n < 0 && errno == EAGAIN) return;  // already taken
    if (n < 0 && errno == ECANCELED) log_(LogLevel::Info, "the system clock was changed");
    ringDue();
    arm();
}

void AlarmClock::ringDue() {
    const Instant now = now_();
    DueTimers due = TakeDueTimers(timers_, lastCheck_, now);
    lastCheck_ = now;
    for (const RingEvent &event : due.events) {
        const Timer &timer = timers_[event.index];
        if (event.missed) {
            log_(LogLevel::Warn, NameOf(timer) + " was missed: it was due at " + FormatInstant(event.due, kLogTimeFormat));
        } else {
            log_(LogLevel::Notice, NameOf(timer) + " rings (due at " + FormatInstant(event.due, kLogTimeFormat) + ")");
            if (ring_) ring_(timer, event.due);
        }
    }
    if (due.changed && changed_) changed_(timers_);
}

void AlarmClock::arm() {
    next_ = NextRing(timers_, lastCheck_);
    emit scheduleChanged();
    if (!timer_) return;
    struct itimerspec when {};
    if (next_) {
        // A zero time would disarm the timer; a time already past fires at once.
        when.it_value.tv_sec = std::max<time_t>(next_->time_since_epoch().count(), 1);
    }
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr) != 0) {
        log_(LogLevel::Error, std::string("cannot set the alarm timer (") + strerror(errno) + ")");
    }
}

}  // namespace tidemark
