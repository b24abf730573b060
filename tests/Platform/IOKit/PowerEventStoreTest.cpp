// The store file: damaged stores, the folder's safety, temporary files and concurrent writers.
#include "IOKitTestSupport.h"

#include "PowerEventPlist.h"

#include <Support/UniqueFd.h>

#include <fcntl.h>

namespace wfs::iokit::test {
namespace {

using StoreTest = PowerEventTest;

size_t CorruptCopies(const std::string &folder) {
    std::vector<std::string> names = FolderEntries(folder);
    return static_cast<size_t>(std::count_if(names.begin(), names.end(), [](const std::string &name) {
        return name.find(".corrupt-") != std::string::npos;
    }));
}

TEST_F(StoreTest, DamagedStoresAreMovedAsideNotOverwritten) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    const std::string garbage = "\x01\x02 this is no property list";
    WriteFile(storePath_, garbage);
    // Listing cannot repair anything: it answers nothing and leaves the file alone.
    EXPECT_EQ(IOPMCopyScheduledPowerEvents(), nullptr);
    EXPECT_EQ(StoreBytes(), garbage);

    // Garbage, then well-formed stores of the wrong shape; each is kept apart from the earlier
    // copies even within the same second.
    const std::string event = "<key>time</key><date>2090-01-01T00:00:00Z</date><key>scheduledby</key>";
    const std::string damaged[] = {
        garbage,
        "",
        "<plist version=\"1.0\"><dict/></plist>",
        "<plist version=\"1.0\"><array><string>wake</string></array></plist>",
        "<plist version=\"1.0\"><array><dict><key>time</key><string>soon</string><key>scheduledby</key>"
        "<string>x</string><key>eventtype</key><string>wake</string></dict></array></plist>",
        "<plist version=\"1.0\"><array><dict>" + event + "<string>x</string><key>eventtype</key><string>nap</string>"
        "</dict></array></plist>",
        "<plist version=\"1.0\"><array><dict>" + event + "<string></string><key>eventtype</key><string>wake</string>"
        "</dict></array></plist>",
    };
    CFAbsoluteTime when = SecondsFromNow(3600);
    size_t copies = 0;
    for (const std::string &store : damaged) {
        WriteFile(storePath_, store);
        ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess) << store;
        EXPECT_EQ(CorruptCopies(storeFolder_), ++copies) << store;
        EXPECT_EQ(List().size(), 1u) << store;
    }
    std::vector<std::string> names = FolderEntries(storeFolder_);
    auto first = std::find_if(names.begin(), names.end(), [](auto &n) { return n.find(".corrupt-") != n.npos; });
    ASSERT_NE(first, names.end());
    EXPECT_EQ(ReadFile(storeFolder_ + "/" + *first), garbage);
}

TEST_F(StoreTest, TheFolderAndItsContentsAreNotTrustedBlindly) {
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    // A folder that others can write to, or that root does not own, is refused.
    ASSERT_EQ(::chmod(storeFolder_.c_str(), 0777), 0);
    EXPECT_NE(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    ASSERT_EQ(::chmod(storeFolder_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(storeFolder_.c_str(), 65534, 65534), 0);
    EXPECT_NE(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_TRUE(FolderEntries(storeFolder_).empty());
    ASSERT_EQ(::chown(storeFolder_.c_str(), 0, 0), 0);

    // A symbolic link at the store's path is never followed, and is moved aside as damaged.
    std::string victim = root_ + "/victim";
    WriteFile(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), storePath_.c_str()), 0);
    // Temporaries of writers that died are removed; other files stay.
    WriteFile(storePath_ + ".tmp-AbC123", "half a docu");
    WriteFile(storeFolder_ + "/unrelated", "keep");
    ASSERT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(ReadFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(::lstat(storePath_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(CorruptCopies(storeFolder_), 1u);
    EXPECT_EQ(FolderEntries(storeFolder_).size(), 4u);  // store, lock, unrelated, the moved link
    EXPECT_FALSE(std::filesystem::exists(storePath_ + ".tmp-AbC123"));
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
        children.push_back(StartChild([&, i] {
            gateWrite.reset();
            char byte;
            // All children start together when the parent closes the gate's write end.
            RetryOnEintr([&] { return ::read(gateRead.get(), &byte, 1); });
            // Reverse order of dates, so that most writers move the RTC.
            IOReturn result = Schedule(base + (kProcesses - i) * 60, "org.example.p" + std::to_string(i), kIOPMAutoWake);
            return result == kIOReturnSuccess ? 0 : 1;
        }));
        ASSERT_GT(children.back(), 0);
    }
    gateWrite.reset();
    for (pid_t pid : children) EXPECT_EQ(WaitChild(pid), 0);
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), static_cast<size_t>(kProcesses));
    for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(listed[i].time, base + (i + 1) * 60);
    EXPECT_EQ(Alarm(), UnixSecondsText(base + 60));
    EXPECT_EQ(CorruptCopies(storeFolder_), 0u);
}

}  // namespace
}  // namespace wfs::iokit::test
