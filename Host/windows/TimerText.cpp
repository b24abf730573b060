#include "TimerText.h"

#include "CommandLine.h"
#include "TimerCommands.h"

#include <ctime>

namespace tidemark {
namespace {

QString LocalText(Instant when, const char *format) { return QString::fromLocal8Bit(FormatInstant(when, format).c_str()); }

}  // namespace

QString WhenText(const Timer &timer) {
    if (timer.mode == TimerMode::Countdown) return QString::fromStdString(DurationText(timer.duration));
    return QString::asprintf("%02d:%02d", timer.hour, timer.minute);
}

QString RepeatText(const Timer &timer) {
    return timer.mode == TimerMode::Alarm ? QString::fromStdString(DaysText(timer.days)) : QString();
}

QString NextRingText(const Timer &timer, Instant now) {
    const std::optional<Instant> next = timer.alarmDate(now);
    if (!next) return timer.mode == TimerMode::Alarm ? QStringLiteral("off") : QStringLiteral("stopped");
    return LocalText(*next, timer.mode == TimerMode::Alarm && !timer.snoozedUntil ? "%a %Y-%m-%d %H:%M" : "%a %Y-%m-%d %H:%M:%S");
}

QString NextAlarmText(const std::vector<Timer> &timers, Instant now) {
    const Timer *alarm = EarliestAlarm(timers, now);
    if (alarm == nullptr) return QStringLiteral("Tidemark: no alarm set");
    QString text = QStringLiteral("Tidemark: next alarm ") + LocalText(*alarm->alarmDate(now), "%a %H:%M");
    if (!alarm->label.empty()) text += QStringLiteral(" (") + QString::fromStdString(alarm->label) + QStringLiteral(")");
    return text;
}

QIcon ApplicationIcon() {
    return QIcon::fromTheme(QStringLiteral("org.tidemark.Tidemark"), QIcon(QStringLiteral(":/tidemark/org.tidemark.Tidemark.svg")));
}

}  // namespace tidemark
