// SIGTERM and SIGINT end the event loop in an orderly way: they are blocked and read from a
// signalfd on the main thread, so no work happens in a signal handler.
#pragma once

#include <Support/UniqueFd.h>

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace tidemark {

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Blocks the two signals in the calling thread; call it before any other thread starts, so
    // that every thread inherits the mask and none takes the signals' default action.
    static bool Block();

    // `quit` runs on the main thread with the signal's name.
    explicit QuitSignals(std::function<void(const char *signalName)> quit, QObject *parent = nullptr);
    ~QuitSignals() override;

private slots:
    void ready();

private:
    std::function<void(const char *)> quit_;
    wfs::UniqueFd signals_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tidemark
