// The store file: damaged stores, the folder's safety, temporary files and memory.
#include "IOKitTestSupport.h"

#include "PowerEventPlist.h"

#include <sys/resource.h>

// An allocation that fails answers NULL (and operator new throws), as it does without the
// sanitizers, instead of stopping the process: the out-of-memory cases below need that.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

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
    // A folder that anyone but root can write to, or that root does not own, is refused.
    for (mode_t mode : {0775, 0757}) {
        ASSERT_EQ(::chmod(storeFolder_.c_str(), mode), 0);
        EXPECT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnNotPermitted) << mode;
    }
    ASSERT_EQ(::chmod(storeFolder_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(storeFolder_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnNotPermitted);
    EXPECT_TRUE(FolderEntries(storeFolder_).empty());
    ASSERT_EQ(::chown(storeFolder_.c_str(), 0, 0), 0);

    // A symbolic link at the store's path is never followed, even to a good store: it is moved
    // aside as damaged, and its target stays as it was.
    std::string elsewhere = root_ + "/elsewhere.plist", document;
    ASSERT_EQ(EncodeEvents({{SecondsFromNow(7200), "org.example.planted", "wake", 0}}, document), kIOReturnSuccess);
    WriteFile(elsewhere, document);
    ASSERT_EQ(::symlink(elsewhere.c_str(), storePath_.c_str()), 0);
    // Temporaries of writers that died are removed at the start of a change, even one that then
    // fails; other files stay.
    WriteFile(storePath_ + ".tmp-AbC123", "half a docu");
    WriteFile(storeFolder_ + "/unrelated", "keep");
    EXPECT_EQ(Cancel(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnNotFound);
    EXPECT_FALSE(std::filesystem::exists(storePath_ + ".tmp-AbC123"));
    EXPECT_EQ(ReadFile(elsewhere), document);
    EXPECT_EQ(CorruptCopies(storeFolder_), 1u);

    // Root running with another group (a set-user-ID tool keeps its caller's) still writes a store
    // that is root's alone.
    RunInChild([] {
        WFS_CHILD_EXPECT(::setresgid(65534, 65534, 65534) == 0);
        WFS_CHILD_EXPECT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    });
    struct stat st;
    ASSERT_EQ(::lstat(storePath_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(FolderEntries(storeFolder_).size(), 4u);  // store, lock, unrelated, the moved link
}

// Allocations fail in a child whose address space may grow by only `headroom` bytes; answers the
// body's result as the child's exit status. (With the sanitizers only large allocations can fail
// this way, which is enough: reading a store makes one.)
template <typename Body>
int WithLittleMemory(size_t headroom, Body body) {
    return Child::Fork([&] {
               std::string status = ReadFile("/proc/self/status");
               const rlim_t used = std::strtoull(status.c_str() + status.find("VmSize:") + 7, nullptr, 10) * 1024;
               const struct rlimit limit = {used + headroom, used + headroom};
               return ::setrlimit(RLIMIT_AS, &limit) != 0 ? 101 : body();
           })
        .Wait()
        .exitCode;
}

TEST_F(StoreTest, RunningOutOfMemoryNeverCountsAsDamage) {
    WFS_REQUIRE_ROOT();
    // The reader tells a document it refuses from one it had no memory for: an element name too
    // long to hold is a refusal with memory to spare, and ENOMEM without.
    const std::string huge = "<plist version=\"1.0\"><" + std::string(8u << 20, 'a') + "/></plist>";
    std::vector<PowerEvent> events;
    EXPECT_EQ(DecodeEvents(huge, events), EINVAL);
    EXPECT_EQ(WithLittleMemory(1u << 20, [&] { return DecodeEvents(huge, events); }), ENOMEM);

    // A valid store that a change cannot read for want of memory stays where it is, untouched.
    // (Larger than a store can grow by scheduling, so that reading it needs more memory than the
    // sanitizers need to report the failure.)
    std::vector<PowerEvent> full;
    for (size_t i = 0; i < 4 * kMaxEvents; ++i) {
        full.push_back({SecondsFromNow(3600) + static_cast<double>(i), std::string(kMaxSchedulerBytes, '&'), "sleep",
                        static_cast<uid_t>(i / kMaxEventsPerOwner)});
    }
    std::string document;
    ASSERT_EQ(EncodeEvents(full, document), kIOReturnSuccess);
    WriteFile(storePath_, document);
    ASSERT_GT(document.size(), 5u << 20);
    EXPECT_EQ(WithLittleMemory(3u << 20,
                               [] {
                                   IOReturn result = Cancel(SecondsFromNow(3600), "org.example.alarm", kIOPMAutoSleep);
                                   return result == kIOReturnNoMemory ? 0 : result == kIOReturnSuccess ? 1 : 2;
                               }),
              0);
    EXPECT_EQ(StoreBytes(), document);
    EXPECT_EQ(CorruptCopies(storeFolder_), 0u);
}

TEST_F(StoreTest, DocumentsRoundTripExactly) {
    std::vector<PowerEvent> events = {
        {SecondsFromNow(10) + 0.1, "org.example.a", "wake", 0},
        {SecondsFromNow(20) + 1.0 / 3, "\xc3\xa9t\xc3\xa9 & <co>", "restart", 4294967294u},
    };
    std::string document;
    ASSERT_EQ(EncodeEvents(events, document), kIOReturnSuccess);
    std::vector<PowerEvent> back;
    ASSERT_EQ(DecodeEvents(document, back), 0);
    EXPECT_EQ(back, events);
    EXPECT_EQ(DecodeEvents(document.substr(0, document.size() / 2), back), EINVAL);
    EXPECT_TRUE(back.empty());

    // Events of a store older than owners are root's; an owner that is no user ID is damage.
    const std::string head = "<plist version=\"1.0\"><array><dict><key>eventtype</key><string>wake</string>"
                             "<key>scheduledby</key><string>x</string><key>time</key><date>2090-01-01T00:00:00Z</date>";
    const std::string tail = "</dict></array></plist>";
    ASSERT_EQ(DecodeEvents(head + tail, back), 0);
    EXPECT_EQ(back.at(0).owner, 0u);
    for (const char *owner : {"<integer>-1</integer>", "<integer>4294967295</integer>", "<string>0</string>",
                              "<real>1.5</real>"}) {
        EXPECT_EQ(DecodeEvents(head + "<key>owneruid</key>" + owner + tail, back), EINVAL) << owner;
    }
}

}  // namespace
}  // namespace wfs::iokit::test
