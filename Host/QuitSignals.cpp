#include "QuitSignals.h"

#include <Support/Eintr.h>

#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>

namespace tidemark {
namespace {

sigset_t QuitSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

bool QuitSignals::Block() {
    const sigset_t set = QuitSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

QuitSignals::QuitSignals(std::function<void(const char *)> quit, QObject *parent) : QObject(parent), quit_(std::move(quit)) {
    const sigset_t set = QuitSet();
    signals_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_) return;
    notifier_ = std::make_unique<QSocketNotifier>(signals_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &QuitSignals::ready);
}

// The notifier watches the descriptor, so it goes first.
QuitSignals::~QuitSignals() { notifier_.reset(); }

void QuitSignals::ready() {
    struct signalfd_siginfo info {};
    if (wfs::RetryOnEintr([&] { return ::read(signals_.get(), &info, sizeof info); }) != sizeof info) return;
    quit_(info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
}

}  // namespace tidemark
