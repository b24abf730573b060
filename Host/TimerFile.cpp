#include "TimerFile.h"

#include "CommandLine.h"
#include "UserFolders.h"

#include <cmath>
#include <cstring>
#include <new>

namespace tidemark {
namespace {

using wfs::CFRef;

const CFStringRef kTimersKey = CFSTR("timers");

// ---- Reading: each value checked for its type and range, since anyone can edit the file ----

template <typename T>
T As(CFDictionaryRef entry, const char *key, CFTypeID type) {
    CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    if (!name) throw std::bad_alloc();
    const CFTypeRef value = CFDictionaryGetValue(entry, name.get());
    return value != nullptr && CFGetTypeID(value) == type ? static_cast<T>(value) : nullptr;
}

std::optional<std::string> String(CFDictionaryRef entry, const char *key) {
    const auto text = As<CFStringRef>(entry, key, CFStringGetTypeID());
    if (text == nullptr) return std::nullopt;
    const CFIndex length = CFStringGetLength(text);
    CFIndex bytes = 0;
    CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    if (CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                        reinterpret_cast<UInt8 *>(utf8.data()), bytes, nullptr) != length) {
        return std::nullopt;
    }
    return utf8;
}

// A whole number in [low, high].
std::optional<long long> Integer(CFDictionaryRef entry, const char *key, long long low, long long high) {
    const auto number = As<CFNumberRef>(entry, key, CFNumberGetTypeID());
    long long value = 0;
    if (number == nullptr || CFNumberIsFloatType(number) || !CFNumberGetValue(number, kCFNumberLongLongType, &value) ||
        value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> Boolean(CFDictionaryRef entry, const char *key) {
    const auto value = As<CFBooleanRef>(entry, key, CFBooleanGetTypeID());
    if (value == nullptr) return std::nullopt;
    return CFBooleanGetValue(value) != 0;
}

// Absent is fine (nothing); present it must be a date.
bool OptionalDate(CFDictionaryRef entry, const char *key, std::optional<Instant> &when) {
    CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    if (!name) throw std::bad_alloc();
    if (!CFDictionaryContainsKey(entry, name.get())) return true;
    const auto date = As<CFDateRef>(entry, key, CFDateGetTypeID());
    if (date == nullptr) return false;
    const double seconds = std::floor(CFDateGetAbsoluteTime(date) + kCFAbsoluteTimeIntervalSince1970);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12) return false;
    when = Instant(std::chrono::seconds(static_cast<long long>(seconds)));
    return true;
}

std::optional<Weekdays> Days(CFDictionaryRef entry) {
    if (!CFDictionaryContainsKey(entry, CFSTR("days"))) return Weekdays{0};
    const auto names = As<CFArrayRef>(entry, "days", CFArrayGetTypeID());
    if (names == nullptr) return std::nullopt;
    Weekdays days = 0;
    for (CFIndex i = 0; i < CFArrayGetCount(names); ++i) {
        const CFTypeRef name = CFArrayGetValueAtIndex(names, i);
        char text[8];
        if (CFGetTypeID(name) != CFStringGetTypeID() ||
            !CFStringGetCString(static_cast<CFStringRef>(name), text, sizeof text, kCFStringEncodingUTF8)) {
            return std::nullopt;
        }
        const std::optional<Weekdays> day = ParseDays(text);
        if (!day || (days & *day)) return std::nullopt;
        days |= *day;
    }
    return days;
}

std::optional<Timer> Decode(CFTypeRef value) {
    if (CFGetTypeID(value) != CFDictionaryGetTypeID()) return std::nullopt;
    const auto entry = static_cast<CFDictionaryRef>(value);
    Timer timer;
    const auto id = String(entry, "id");
    const auto mode = Integer(entry, "mode", 0, 1);
    if (!id || id->empty() || !mode) return std::nullopt;
    timer.id = *id;
    timer.mode = static_cast<TimerMode>(*mode);
    if (CFDictionaryContainsKey(entry, CFSTR("label"))) {
        const auto label = String(entry, "label");
        if (!label) return std::nullopt;
        timer.label = *label;
    }
    if (!OptionalDate(entry, "snoozedUntil", timer.snoozedUntil)) return std::nullopt;
    if (timer.mode == TimerMode::Alarm) {
        const auto hour = Integer(entry, "hour", 0, 23), minute = Integer(entry, "minute", 0, 59);
        const auto days = Days(entry);
        const auto on = Boolean(entry, "on");
        if (!hour || !minute || !days || !on) return std::nullopt;
        timer.hour = static_cast<int>(*hour);
        timer.minute = static_cast<int>(*minute);
        timer.days = *days;
        timer.on = *on;
    } else {
        const auto duration = Integer(entry, "duration", 1, 7 * 86400);
        if (!duration || !OptionalDate(entry, "endsAt", timer.endsAt)) return std::nullopt;
        timer.duration = std::chrono::seconds(*duration);
    }
    return timer;
}

// ---- Writing ----

template <typename T>
CFRef<T> Made(T object) {
    if (object == nullptr) throw std::bad_alloc();
    return CFRef<T>(object);
}

void Set(CFMutableDictionaryRef entry, const char *key, CFTypeRef value) {
    CFRef<CFStringRef> name = Made(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    CFDictionarySetValue(entry, name.get(), value);
}

void SetString(CFMutableDictionaryRef entry, const char *key, const std::string &text) {
    Set(entry, key,
        Made(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text.data()), static_cast<CFIndex>(text.size()),
                                     kCFStringEncodingUTF8, false))
            .get());
}

void SetInteger(CFMutableDictionaryRef entry, const char *key, long long value) {
    Set(entry, key, Made(CFNumberCreate(nullptr, kCFNumberLongLongType, &value)).get());
}

void SetDate(CFMutableDictionaryRef entry, const char *key, const std::optional<Instant> &when) {
    if (!when) return;
    const double seconds = static_cast<double>(when->time_since_epoch().count()) - kCFAbsoluteTimeIntervalSince1970;
    Set(entry, key, Made(CFDateCreate(nullptr, seconds)).get());
}

CFRef<CFDictionaryRef> Encode(const Timer &timer) {
    CFRef<CFMutableDictionaryRef> entry =
        Made(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    SetString(entry.get(), "id", timer.id);
    SetInteger(entry.get(), "mode", static_cast<int>(timer.mode));
    if (!timer.label.empty()) SetString(entry.get(), "label", timer.label);
    SetDate(entry.get(), "snoozedUntil", timer.snoozedUntil);
    if (timer.mode == TimerMode::Alarm) {
        SetInteger(entry.get(), "hour", timer.hour);
        SetInteger(entry.get(), "minute", timer.minute);
        Set(entry.get(), "on", timer.on ? kCFBooleanTrue : kCFBooleanFalse);
        if (timer.days != 0) {
            CFRef<CFMutableArrayRef> days = Made(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
            for (int day = 0; day < 7; ++day) {
                if (!(timer.days & (1u << day))) continue;
                CFRef<CFStringRef> name = Made(CFStringCreateWithCString(nullptr, kDayNames[day], kCFStringEncodingUTF8));
                CFArrayAppendValue(days.get(), name.get());
            }
            Set(entry.get(), "days", days.get());
        }
    } else {
        SetInteger(entry.get(), "duration", timer.duration.count());
        SetDate(entry.get(), "endsAt", timer.endsAt);
    }
    return CFRef<CFDictionaryRef>(entry.release());
}

}  // namespace

std::optional<std::string> TimersPath() {
    const std::optional<std::string> config = UserConfigFolder();
    if (!config) return std::nullopt;
    return *config + "/tidemark/timers.plist";
}

bool DecodeTimers(CFDictionaryRef contents, StoredTimers &stored, std::string &error) {
    stored = StoredTimers();
    const CFTypeRef list = CFDictionaryGetValue(contents, kTimersKey);
    if (list == nullptr) return true;
    if (CFGetTypeID(list) != CFArrayGetTypeID()) {
        error = "its \"timers\" entry is not a list; fix or remove it by hand";
        return false;
    }
    const auto entries = static_cast<CFArrayRef>(list);
    for (CFIndex i = 0; i < CFArrayGetCount(entries); ++i) {
        const CFTypeRef entry = CFArrayGetValueAtIndex(entries, i);
        if (std::optional<Timer> timer = Decode(entry)) {
            stored.timers.push_back(std::move(*timer));
        } else {
            stored.unreadable.push_back(CFRef<CFTypeRef>::Retain(entry));
        }
    }
    return true;
}

void EncodeTimers(const StoredTimers &stored, CFMutableDictionaryRef contents) {
    CFRef<CFMutableArrayRef> list = Made(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (const Timer &timer : stored.timers) CFArrayAppendValue(list.get(), Encode(timer).get());
    for (const auto &entry : stored.unreadable) CFArrayAppendValue(list.get(), entry.get());
    CFDictionarySetValue(contents, kTimersKey, list.get());
}

TimerFile::TimerFile(std::string path) : file_(std::move(path)) {}

bool TimerFile::load(StoredTimers &stored, std::string &error) const {
    CFRef<CFDictionaryRef> contents;
    if (const int failure = file_.Read(contents)) {
        error = path() + ": " + std::strerror(failure);
        return false;
    }
    if (!DecodeTimers(contents.get(), stored, error)) {
        error = path() + ": " + error;
        return false;
    }
    return true;
}

bool TimerFile::update(const std::function<bool(std::vector<Timer> &timers)> &edit, std::string &error) {
    std::string refused;
    const int failure = file_.Update([&](CFMutableDictionaryRef contents) {
        StoredTimers stored;
        if (!DecodeTimers(contents, stored, refused) || !edit(stored.timers)) return false;
        EncodeTimers(stored, contents);
        return true;
    });
    if (failure != 0 || !refused.empty()) {
        error = path() + ": " + (failure != 0 ? std::strerror(failure) : refused);
        return false;
    }
    return true;
}

}  // namespace tidemark
