#include "TimerSync.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace tidemark {
namespace {

constexpr int kSettleMs = 30;

const Timer *Find(const std::vector<Timer> &timers, const std::string &id) {
    const auto found = std::find_if(timers.begin(), timers.end(), [&](const Timer &timer) { return timer.id == id; });
    return found == timers.end() ? nullptr : &*found;
}

// mkdir -p, each missing folder private to the user, as the file helper makes them: 0 or an errno.
int MakeFolders(const std::string &folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        if (::mkdir(folder.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) return 0;
    }
}

}  // namespace

TimerSync::TimerSync(TimerFile &file, AlarmClock &clock, LogSink log, QObject *parent)
    : QObject(parent), file_(file), clock_(clock), log_(std::move(log)) {
    settle_.setSingleShot(true);
    settle_.setInterval(kSettleMs);
    connect(&settle_, &QTimer::timeout, this, &TimerSync::reload);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
    connect(&watcher_, &QFileSystemWatcher::fileChanged, &settle_, qOverload<>(&QTimer::start));
}

void TimerSync::start() {
    const std::string folder = QFileInfo(QString::fromStdString(file_.path())).path().toStdString();
    if (const int error = MakeFolders(folder)) {
        log_(LogLevel::Warn, "cannot make " + folder + " (" + std::strerror(error) + "): changes to the timers made elsewhere will not be seen");
    } else if (!watcher_.addPath(QString::fromStdString(folder))) {
        log_(LogLevel::Warn, "cannot watch " + folder + ": changes to the timers made elsewhere will not be seen");
    }
    reload();
}

void TimerSync::reload() {
    // The folder shows files coming and going; the file's own watch shows it being written in
    // place (an editor, a shell redirection). That watch ends when the file is replaced, so it is
    // taken again for the file now there.
    const QString path = QString::fromStdString(file_.path());
    if (!watcher_.directories().isEmpty() && !watcher_.files().contains(path) && QFileInfo::exists(path)) watcher_.addPath(path);
    StoredTimers stored;
    std::string error;
    if (!file_.load(stored, error)) {
        log_(LogLevel::Warn, "cannot read the timers (" + error + "); keeping the ones already known");
        return;
    }
    if (stored.unreadable.size() != unreadableReported_) {
        unreadableReported_ = stored.unreadable.size();
        if (unreadableReported_ != 0) {
            log_(LogLevel::Warn, file_.path() + ": " + std::to_string(unreadableReported_) +
                                     " entries are not timers this version can read; they are kept but do not ring");
        }
    }
    known_ = stored.timers;
    if (stored.timers == clock_.timers()) return;
    log_(LogLevel::Info, "timers reloaded from " + file_.path() + ": " + std::to_string(stored.timers.size()) + " timers");
    clock_.setTimers(std::move(stored.timers));
}

void TimerSync::save(const std::vector<Timer> &timers) {
    std::vector<Timer> changed;
    for (const Timer &timer : timers) {
        const Timer *before = Find(known_, timer.id);
        if (before == nullptr || *before != timer) changed.push_back(timer);
    }
    if (changed.empty()) return;
    std::string error;
    const bool saved = file_.update(
        [&](std::vector<Timer> &stored) {
            bool any = false;
            for (Timer &entry : stored) {
                const Timer *now = Find(changed, entry.id);
                // A timer removed from the file meanwhile stays removed.
                if (now == nullptr || entry.mode != now->mode) continue;
                any |= entry.on != now->on || entry.endsAt != now->endsAt || entry.snoozedUntil != now->snoozedUntil;
                entry.on = now->on;
                entry.endsAt = now->endsAt;
                entry.snoozedUntil = now->snoozedUntil;
            }
            return any;
        },
        error);
    if (!saved) {
        // Left out of `known_`, so the next save tries these changes again.
        log_(LogLevel::Warn, "cannot save the timers (" + error + ")");
        return;
    }
    known_ = timers;
    // What the file holds now may differ from the clock's timers (an edit not yet reloaded): the
    // folder event of this write brings it in.
}

}  // namespace tidemark
