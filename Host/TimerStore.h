// Where the timers are kept between runs. The store of timers.plist (with the same locking,
// atomic replacement and care for an unreadable file as the user defaults) implements this on top
// of the property-list file helper; until then the program reports that it cannot store timers,
// and the tests use an in-memory store.
#pragma once

#include "Timer.h"

#include <functional>
#include <string>
#include <vector>

namespace tidemark {

class TimerStore {
public:
    virtual ~TimerStore() = default;

    // Reads the timers, lets `edit` change them, and writes them back only when `edit` answers
    // true; all under the store's lock, so that a change made meanwhile by the running host or
    // another command is not lost. Answers false with `error` set when the timers could not be
    // read or written; nothing is written then.
    virtual bool update(const std::function<bool(std::vector<Timer> &timers)> &edit, std::string &error) = 0;
};

}  // namespace tidemark
