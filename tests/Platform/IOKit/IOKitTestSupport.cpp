#include "IOKitTestSupport.h"

#include "RtcWakeAlarm.h"

#include <Support/Eintr.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>

namespace wfs::iokit::test {

std::vector<std::string> &RecordedWrites() {
    static std::vector<std::string> writes;
    return writes;
}

int KernelLikeWriter(const char *path, const char *text) {
    RecordedWrites().push_back(text);
    if (!Exists(path)) return ENOENT;
    std::string current = ReadFile(path);
    long long value = std::atoll(text);
    if (value <= 0) {
        WriteFile(path, "");
        return 0;
    }
    if (!current.empty()) return EBUSY;
    WriteFile(path, std::string(text) + "\n");
    return 0;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool Exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FolderEntries(const std::string &folder) {
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(folder.c_str())) {
        while (struct dirent *entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

CFAbsoluteTime SecondsFromNow(double seconds) { return std::floor(CFAbsoluteTimeGetCurrent()) + seconds; }

std::string UnixSecondsText(CFAbsoluteTime time) {
    return std::to_string(static_cast<long long>(std::floor(time + kCFAbsoluteTimeIntervalSince1970)));
}

CFRef<CFDateRef> Date(CFAbsoluteTime time) { return CFRef<CFDateRef>(CFDateCreate(kCFAllocatorDefault, time)); }

CFRef<CFStringRef> String(const std::string &utf8) {
    return CFRef<CFStringRef>(CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                      static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

IOReturn Schedule(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    return IOPMSchedulePowerEvent(Date(time).get(), String(scheduler).get(), String(type).get());
}

IOReturn Cancel(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    return IOPMCancelScheduledPowerEvent(Date(time).get(), String(scheduler).get(), String(type).get());
}

static std::string Utf8(CFTypeRef value) {
    EXPECT_EQ(CFGetTypeID(value), CFStringGetTypeID());
    char buffer[1024] = "";
    EXPECT_TRUE(CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8));
    return buffer;
}

std::vector<ListedEvent> List() {
    std::vector<ListedEvent> listed;
    CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    if (!events) return listed;
    // The platform answers NULL rather than an empty array.
    EXPECT_GT(CFArrayGetCount(events.get()), 0);
    for (CFIndex i = 0; i < CFArrayGetCount(events.get()); ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        EXPECT_EQ(CFDictionaryGetCount(event), 3);
        CFTypeRef date = CFDictionaryGetValue(event, CFSTR("time"));
        EXPECT_EQ(CFGetTypeID(date), CFDateGetTypeID());
        listed.push_back({CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)),
                          Utf8(CFDictionaryGetValue(event, CFSTR("scheduledby"))),
                          Utf8(CFDictionaryGetValue(event, CFSTR("eventtype")))});
    }
    return listed;
}

int RunAsNobody(int (*body)()) {
    // The test process is single-threaded, so the child may use the library after fork.
    pid_t pid = ::fork();
    if (pid == -1) return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) == -1 || ::setgid(65534) == -1 || ::setuid(65534) == -1) ::_exit(120);
        if (::geteuid() != 65534) ::_exit(121);
        ::_exit(body());
    }
    int status = 0;
    if (RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }) == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PowerEventTest::SetUp() {
    char pattern[] = "/tmp/iokit-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    // Listing is for everyone, so the tests that drop to nobody must be able to reach the store.
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    storeFolder_ = root_ + "/wake-from-sleep";
    storePath_ = storeFolder_ + "/scheduled-power-events.plist";
    sysfs_ = root_ + "/sys";
    ASSERT_EQ(::mkdir(sysfs_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((sysfs_ + "/class").c_str(), 0755), 0);
    ::setenv("WFS_POWER_EVENT_STORE", storePath_.c_str(), 1);
    ::setenv("WFS_SYSFS_ROOT", sysfs_.c_str(), 1);
    previousWriter_ = reinterpret_cast<void *>(SetAttributeWriterForTesting(KernelLikeWriter));
    RecordedWrites().clear();
}

void PowerEventTest::TearDown() {
    SetAttributeWriterForTesting(reinterpret_cast<AttributeWriter>(previousWriter_));
    ::unsetenv("WFS_POWER_EVENT_STORE");
    ::unsetenv("WFS_SYSFS_ROOT");
    if (!root_.empty()) {
        ::nftw(root_.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); },
               16, FTW_DEPTH | FTW_PHYS);
    }
}

void PowerEventTest::AddRtc(const std::string &name, const char *wakeup, long long clockAheadSeconds,
                            bool withWakealarm) {
    std::string rtc = sysfs_ + "/class/rtc/" + name;
    ::mkdir((sysfs_ + "/class/rtc").c_str(), 0755);
    ASSERT_EQ(::mkdir(rtc.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((rtc + "/device").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((rtc + "/device/power").c_str(), 0755), 0);
    WriteFile(rtc + "/device/power/wakeup", std::string(wakeup) + "\n");
    WriteFile(rtc + "/since_epoch", std::to_string(static_cast<long long>(::time(nullptr)) + clockAheadSeconds) + "\n");
    if (withWakealarm) WriteFile(rtc + "/wakealarm", "");
}

std::string PowerEventTest::Alarm(const std::string &name) const {
    std::string value = ReadFile(sysfs_ + "/class/rtc/" + name + "/wakealarm");
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

}  // namespace wfs::iokit::test
