#include "RtcWakeAlarm.h"

#include "PowerEventStore.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

namespace wfs::iokit {

namespace {

AttributeWriter gWriter = WriteAttribute;

// Reads a small sysfs attribute, without its trailing white space. False when it cannot be read.
bool ReadAttribute(const std::string &path, std::string &value) {
    value.clear();
    UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd) return false;
    char buffer[128];
    size_t done = 0;
    for (;;) {
        ssize_t n = RetryOnEintr([&] { return ::read(fd.get(), buffer + done, sizeof buffer - done); });
        if (n == -1) return false;
        if (n == 0) break;
        done += static_cast<size_t>(n);
        if (done == sizeof buffer) return false;  // no attribute of ours is this long
    }
    while (done > 0 && (buffer[done - 1] == '\n' || buffer[done - 1] == ' ' || buffer[done - 1] == '\t')) --done;
    value.assign(buffer, done);
    return true;
}

bool ParseSeconds(const std::string &text, long long &seconds) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    seconds = value;
    return true;
}

bool IsUsableRtc(const std::string &rtcPath) {
    if (::access((rtcPath + "/wakealarm").c_str(), F_OK) != 0) return false;
    std::string wakeup;
    return ReadAttribute(rtcPath + "/device/power/wakeup", wakeup) && wakeup == "enabled";
}

// The kernel shows an unarmed alarm as an empty attribute; a plain file keeps the "0" we wrote.
bool IsDisarmed(const std::string &value) { return value.empty() || value == "0"; }

}  // namespace

int WriteAttribute(const char *path, const char *text) {
    // sysfs acts on each write() as a whole, so the text goes in one call to a fresh descriptor.
    UniqueFd fd(RetryOnEintr([&] { return ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd) return errno;
    size_t length = ::strlen(text);
    ssize_t n = RetryOnEintr([&] { return ::write(fd.get(), text, length); });
    if (n == -1) return errno;
    if (static_cast<size_t>(n) != length) return EIO;
    return 0;
}

AttributeWriter SetAttributeWriterForTesting(AttributeWriter writer) {
    AttributeWriter previous = gWriter;
    gWriter = writer != nullptr ? writer : WriteAttribute;
    return previous;
}

AttributeWriter CurrentAttributeWriter() { return gWriter; }

std::string FindWakeRtc(const std::string &sysfsRoot) {
    std::string classPath = sysfsRoot + "/class/rtc";
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(classPath.c_str()), ::closedir);
    if (!dir) return {};
    std::vector<std::string> names;
    while (struct dirent *entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string &a, const std::string &b) { return ::strverscmp(a.c_str(), b.c_str()) < 0; });
    for (const std::string &name : names) {
        std::string rtcPath = classPath + "/" + name;
        if (IsUsableRtc(rtcPath)) return rtcPath;
    }
    return {};
}

long long RtcClockOffset(long long rtcSeconds, long long systemSeconds) {
    constexpr long long kDriftLimit = 10 * 60;
    constexpr long long kZoneStep = 15 * 60;
    // since_epoch comes from the file system: a value no clock can hold (or one whose difference
    // overflows) is no offset at all, and must not reach the arithmetic below or the alarm sum.
    constexpr long long kLimit = 1LL << 40;
    long long difference = 0;
    if (__builtin_sub_overflow(rtcSeconds, systemSeconds, &difference) || difference <= -kLimit ||
        difference >= kLimit) {
        return 0;
    }
    if (std::llabs(difference) <= kDriftLimit) return 0;
    long long steps = (std::llabs(difference) + kZoneStep / 2) / kZoneStep;
    return (difference < 0 ? -steps : steps) * kZoneStep;
}

IOReturn ProgramWakeAlarm(const std::string &sysfsRoot, std::optional<CFAbsoluteTime> wakeTime,
                          AttributeWriter writer) {
    std::string rtc = FindWakeRtc(sysfsRoot);
    if (rtc.empty()) return wakeTime ? kIOReturnNoDevice : kIOReturnSuccess;
    std::string alarmPath = rtc + "/wakealarm";

    if (int error = writer(alarmPath.c_str(), "0")) return IOReturnFromErrno(error);
    std::string readBack;
    if (!wakeTime) {
        if (!ReadAttribute(alarmPath, readBack) || !IsDisarmed(readBack)) return kIOReturnError;
        return kIOReturnSuccess;
    }

    // An RTC whose clock cannot be read is taken to keep UTC.
    long long offset = 0;
    std::string sinceEpoch;
    long long rtcNow = 0;
    if (ReadAttribute(rtc + "/since_epoch", sinceEpoch) && ParseSeconds(sinceEpoch, rtcNow)) {
        offset = RtcClockOffset(rtcNow, static_cast<long long>(::time(nullptr)));
    }
    long long alarm =
        static_cast<long long>(std::floor(*wakeTime + kCFAbsoluteTimeIntervalSince1970)) + offset;
    std::string text = std::to_string(alarm);
    int error = writer(alarmPath.c_str(), text.c_str());
    if (error == EBUSY) {
        // Someone armed it between our two writes; ours is the alarm that must stand.
        if ((error = writer(alarmPath.c_str(), "0")) == 0) error = writer(alarmPath.c_str(), text.c_str());
    }
    if (error != 0) return IOReturnFromErrno(error);
    long long armed = 0;
    if (!ReadAttribute(alarmPath, readBack) || !ParseSeconds(readBack, armed) || armed != alarm) {
        return kIOReturnError;
    }
    return kIOReturnSuccess;
}

}  // namespace wfs::iokit
