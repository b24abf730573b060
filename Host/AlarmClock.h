// Rings the timers on time. One timer descriptor is set to the next ring (no polling); it also
// reports a change of the system clock (TFD_TIMER_CANCEL_ON_SET), after which, as after a resume,
// the rings are taken again from the clock as it is now.
#pragma once

#include "HostLog.h"
#include "RingSchedule.h"

#include <Support/UniqueFd.h>

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tidemark {

class AlarmClock : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<Instant()>;
    // Called for each timer that rings, with the moment it was due.
    using Ringer = std::function<void(const Timer &timer, Instant due)>;
    // Called when ringing changed the timers (a one-time alarm off, a countdown stopped), so that
    // whoever stores them can write them back.
    using ChangeListener = std::function<void(const std::vector<Timer> &timers)>;

    AlarmClock(Ringer ring, ChangeListener changed, LogSink log, Clock now = SystemNow, QObject *parent = nullptr);
    ~AlarmClock() override;

    static Instant SystemNow();

    const std::vector<Timer> &timers() const { return timers_; }
    // The timers were edited or read anew: what was due under the old list rings first.
    void setTimers(std::vector<Timer> timers);
    // Rings the timer again after `delay`.
    void snooze(const std::string &id, std::chrono::minutes delay);
    // The machine woke: take what fell due while it slept.
    void systemResumed();

    std::optional<Instant> nextRing() const { return next_; }

signals:
    // The timers or their next ring changed (an edit, a reload, a ring, a snooze): what shows
    // them (the window's list, the tray's tooltip) reads them again.
    void scheduleChanged();

private slots:
    void timerReady();

private:
    void ringDue();
    void arm();

    Ringer ring_;
    ChangeListener changed_;
    LogSink log_;
    Clock now_;
    std::vector<Timer> timers_;
    Instant lastCheck_;
    std::optional<Instant> next_;
    wfs::UniqueFd timer_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tidemark
