// Keeps the running host's timers and timers.plist in step. Changes made by another process (a
// command-line run, an editor) are noticed through inotify (QFileSystemWatcher) on the file's folder,
// since every write replaces the file, and on the file itself for a write in place; they are
// reloaded into the alarm clock. Changes that ringing makes (a one-time alarm off, a countdown
// stopped, a snooze) are written back: only the state of the timers that changed, merged into the
// file as it is then, so that an edit not yet reloaded is not undone.
#pragma once

#include "AlarmClock.h"
#include "HostLog.h"
#include "TimerFile.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

namespace tidemark {

class TimerSync : public QObject {
    Q_OBJECT
public:
    TimerSync(TimerFile &file, AlarmClock &clock, LogSink log, QObject *parent = nullptr);

    // Makes the file's folder when it is missing, starts watching it and loads the timers.
    void start();
    // The AlarmClock's change listener: writes the state of the timers that ringing changed.
    void save(const std::vector<Timer> &timers);

private slots:
    void reload();

private:
    TimerFile &file_;
    AlarmClock &clock_;
    LogSink log_;
    QFileSystemWatcher watcher_;
    // A write shows as several folder events (temporary file, rename, lock file); they are taken
    // together.
    QTimer settle_;
    // The timers as last read from or written to the file: what a save compares with to see what
    // ringing changed.
    std::vector<Timer> known_;
    size_t unreadableReported_ = 0;
};

}  // namespace tidemark
