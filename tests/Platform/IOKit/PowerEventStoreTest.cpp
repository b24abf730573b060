// The store file: damaged stores, the folder's safety, temporary files and concurrent writers.
#include "IOKitTestSupport.h"

#include "PowerEventPlist.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wfs::iokit::test {
namespace {

using StoreTest = PowerEventTest;

std::vector<std::string> CorruptCopies(const std::string &folder) {
    std::vector<std::string> found;
    for (const std::string &name : FolderEntries(folder)) {
        if (name.find(".corrupt-") != std::string::npos) found.push_back(folder + "/" + name);
    }
    return found;
}

TEST_F(StoreTest, DamagedStoresAreMovedAsideNotOverwritten) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    const std::string garbage = "\x01\x02 this is no property list";
    WriteFile(storePath_, garbage);
    // Listing cannot repair anything: it answers nothing and leaves the file alone.
    EXPECT_EQ(IOPMCopyScheduledPowerEvents(), nullptr);
    EXPECT_EQ(StoreBytes(), garbage);

    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    std::vector<std::string> copies = CorruptCopies(storeFolder_);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(copies[0]), garbage);
    ASSERT_EQ(List().size(), 1u);

    // Well-formed but of the wrong shape: each of these is damaged too, and each is kept apart
    // from the earlier copies even within the same second.
    const char *wrongShapes[] = {
        "<plist version=\"1.0\"><dict/></plist>",
        "<plist version=\"1.0\"><array><string>wake</string></array></plist>",
        "<plist version=\"1.0\"><array><dict><key>time</key><string>soon</string>"
        "<key>scheduledby</key><string>x</string><key>eventtype</key><string>wake</string></dict></array></plist>",
        "<plist version=\"1.0\"><array><dict><key>time</key><date>2090-01-01T00:00:00Z</date>"
        "<key>scheduledby</key><string>x</string><key>eventtype</key><string>nap</string></dict></array></plist>",
        "<plist version=\"1.0\"><array><dict><key>time</key><date>2090-01-01T00:00:00Z</date>"
        "<key>scheduledby</key><string></string><key>eventtype</key><string>wake</string></dict></array></plist>",
        "",
    };
    size_t expectedCopies = 1;
    for (const char *shape : wrongShapes) {
        WriteFile(storePath_, shape);
        ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess) << shape;
        EXPECT_EQ(CorruptCopies(storeFolder_).size(), ++expectedCopies) << shape;
        EXPECT_EQ(List().size(), 1u) << shape;
    }
}

TEST_F(StoreTest, ASymlinkAtTheStorePathIsNeverFollowed) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    std::string victim = root_ + "/victim";
    WriteFile(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), storePath_.c_str()), 0);
    ASSERT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(ReadFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(::lstat(storePath_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(CorruptCopies(storeFolder_).size(), 1u);
}

TEST_F(StoreTest, AFolderOthersCanWriteIsRefused) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(storeFolder_.c_str(), 0777), 0);
    EXPECT_NE(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_TRUE(FolderEntries(storeFolder_).empty());
    ASSERT_EQ(::chmod(storeFolder_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(storeFolder_.c_str(), 65534, 65534), 0);
    EXPECT_NE(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_TRUE(FolderEntries(storeFolder_).empty());
}

TEST_F(StoreTest, TemporariesOfDeadWritersAreCleanedUp) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    WriteFile(storePath_ + ".tmp-AbC123", "half a docu");
    WriteFile(storeFolder_ + "/unrelated", "keep");
    ASSERT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(FolderEntries(storeFolder_),
              (std::vector<std::string>{"scheduled-power-events.plist", "scheduled-power-events.plist.lock",
                                        "unrelated"}));
}

TEST_F(StoreTest, DocumentsRoundTripExactly) {
    std::vector<PowerEvent> events = {
        {SecondsFromNow(10) + 0.1, "org.example.a", "wake"},
        {SecondsFromNow(20) + 1.0 / 3, "\xc3\xa9t\xc3\xa9 & <co>", "restart"},
    };
    std::string document;
    ASSERT_EQ(EncodeEvents(events, document), kIOReturnSuccess);
    std::vector<PowerEvent> back;
    ASSERT_TRUE(DecodeEvents(document, back));
    EXPECT_EQ(back, events);
    EXPECT_FALSE(DecodeEvents(document.substr(0, document.size() / 2), back));
    EXPECT_TRUE(back.empty());
}

TEST_F(StoreTest, TwentyProcessesSchedulingAtOnceLoseNothing) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    constexpr int kProcesses = 20;
    CFAbsoluteTime base = SecondsFromNow(3600);
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    UniqueFd gateRead(gate[0]), gateWrite(gate[1]);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        pid_t pid = ::fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            gateWrite.reset();
            char byte;
            // All children start together when the parent closes the gate's write end.
            RetryOnEintr([&] { return ::read(gateRead.get(), &byte, 1); });
            std::string who = "org.example.process" + std::to_string(i);
            // Reverse order of dates, so that most writers move the RTC.
            IOReturn result = Schedule(base + (kProcesses - i) * 60, who, kIOPMAutoWake);
            ::_exit(result == kIOReturnSuccess ? 0 : 1);
        }
        children.push_back(pid);
    }
    gateWrite.reset();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), static_cast<size_t>(kProcesses));
    for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(listed[i].time, base + (i + 1) * 60);
    EXPECT_EQ(Alarm(), UnixSecondsText(base + 60));
    EXPECT_TRUE(CorruptCopies(storeFolder_).empty());
}

}  // namespace
}  // namespace wfs::iokit::test
