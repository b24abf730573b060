// Foundation against real files and real processes: the shared property-list file under damage
// and under concurrent writers, user defaults merged between processes, notification delivery,
// and file attributes.

#include <Foundation/Foundation.h>
#include <Foundation/FoundationLog.h>

#include <CFTestSupport.h>
#include <TestSupport.h>

using namespace wfstest;
using wfs::CFRef;
using wfs::foundation::PropertyListFile;

namespace {

std::vector<std::string> gLogged;

void CaptureLog(wfs::foundation::LogLevel, CFStringRef message, int, const char *, const char *) {
    char text[2048] = "";
    CFStringGetCString(message, text, sizeof text, kCFStringEncodingUTF8);
    gLogged.push_back(text);
}

bool SetKey(const PropertyListFile &file, const std::string &key, int value) {
    return file.Update([&](CFMutableDictionaryRef contents) {
        CFDictionarySetValue(contents, Str(key).get(), Num(value).get());
        return true;
    }) == 0;
}

TEST(PropertyListFile, ADamagedFileIsMovedAsideNeverOverwritten) {
    const auto previous = wfs::foundation::SetLogHandler(CaptureLog);
    const struct {
        const char *what, *bytes;
    } damaged[] = {
        {"empty", ""},
        {"an array, not a dictionary", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
    };
    for (const auto &d : damaged) {
        SCOPED_TRACE(d.what);
        TempDir dir;
        const PropertyListFile file(dir / "settings.plist");
        WriteFile(file.path(), d.bytes);
        gLogged.clear();
        CFRef<CFDictionaryRef> contents;
        ASSERT_EQ(file.Read(contents), 0);
        EXPECT_EQ(CFDictionaryGetCount(contents.get()), 0);
        // Beside the lock, only the damaged file under its new name.
        const std::vector<std::string> entries = FolderEntries(dir.path());
        ASSERT_EQ(entries.size(), 2u);
        const std::string aside = entries[0];
        EXPECT_EQ(aside.rfind("settings.plist.corrupt-", 0), 0u);
        ASSERT_EQ(gLogged.size(), 1u);
        EXPECT_NE(gLogged[0].find(aside), std::string::npos);
        EXPECT_TRUE(SetKey(file, "fresh", 1));
        ASSERT_EQ(file.Read(contents), 0);
        EXPECT_EQ(NumberValue(CFDictionaryGetValue(contents.get(), CFSTR("fresh"))), 1);
        EXPECT_EQ(ReadFile(dir / aside), d.bytes);
    }
    wfs::foundation::SetLogHandler(previous);

    // What cannot be read for any other reason is an error and stays where it is.
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const PropertyListFile folder(dir / "folder"), locked(dir / "locked.plist");
    std::filesystem::create_directory(folder.path());
    CFRef<CFDictionaryRef> contents;
    EXPECT_EQ(folder.Read(contents), EINVAL);
    EXPECT_FALSE(SetKey(folder, "a", 1));
    WriteFile(locked.path(), "<plist><dict/></plist>", 0);
    RunInChild(
        [&] {
            CFRef<CFDictionaryRef> none;
            WFS_CHILD_EXPECT_EQ(locked.Read(none), EACCES);
        },
        ChildSetup().AsNobody(geteuid() == 0));
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"folder", "folder.lock", "locked.plist"}));
}

TEST(PropertyListFile, WritersInSeveralProcessesLoseNothing) {
    TempDir dir;
    const PropertyListFile file(dir / "shared.plist");
    int gate[2] = {-1, -1};
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    wfs::UniqueFd gateRead(gate[0]), gateWrite(gate[1]);
    constexpr int kWriters = 6, kKeysEach = 15;
    std::vector<Child> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(Child::Fork([&] {
            gateWrite.reset();
            char byte;
            if (wfs::RetryOnEintr([&] { return read(gateRead.get(), &byte, 1); }) != 0) return 10;
            for (int k = 0; k < kKeysEach; ++k) {
                if (!SetKey(file, std::to_string(w) + "-" + std::to_string(k), k)) return 11;
            }
            return 0;
        }));
    }
    gateWrite.reset();  // all start at once
    for (Child &writer : writers) EXPECT_TRUE(writer.Wait().Exited(0));
    CFRef<CFDictionaryRef> contents;
    ASSERT_EQ(file.Read(contents), 0);
    EXPECT_EQ(CFDictionaryGetCount(contents.get()), kWriters * kKeysEach);
    // Nothing left behind but the file and its lock.
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"shared.plist", "shared.plist.lock"}));
}

TEST(NSUserDefaults, EachProcessMergesItsOwnChangesOnly) {
    TempDir dir;
    const std::string path = dir / "domain/org.example.plist";
    NSUserDefaults ours(path);
    ours.setObject(Num(1).get(), CFSTR("a"));
    ours.setObject(CFSTR("ours"), CFSTR("shared"));
    ASSERT_TRUE(ours.synchronize());
    EXPECT_EQ(ModeOf(path), 0600u);

    RunInChild([&] {
        NSUserDefaults theirs(path);
        WFS_CHILD_EXPECT(NumberValue(theirs.objectForKey(CFSTR("a")).get()) == 1);
        theirs.setObject(Num(2).get(), CFSTR("b"));
        theirs.removeObjectForKey(CFSTR("shared"));
        WFS_CHILD_EXPECT(theirs.synchronize());
    });
    ours.setObject(Num(3).get(), CFSTR("c"));
    EXPECT_FALSE(ours.objectForKey(CFSTR("b")));  // not before our next synchronize
    ASSERT_TRUE(ours.synchronize());
    EXPECT_EQ(NumberValue(ours.objectForKey(CFSTR("b")).get()), 2);
    EXPECT_FALSE(ours.objectForKey(CFSTR("shared")));
    CFRef<CFDictionaryRef> onDisk;
    ASSERT_EQ(PropertyListFile(path).Read(onDisk), 0);
    EXPECT_EQ(CFDictionaryGetCount(onDisk.get()), 3);
    EXPECT_EQ(NumberValue(CFDictionaryGetValue(onDisk.get(), CFSTR("c"))), 3);

    // With nothing of its own to write, a synchronize leaves the file alone.
    struct stat before {}, after {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ours.setObject(Num(3).get(), CFSTR("c"));
    ASSERT_TRUE(ours.synchronize());
    ASSERT_TRUE(ours.synchronize());
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(NSUserDefaults, StandardDefaultsLiveInTheUsersConfigFolder) {
    TempDir dir;
    EnvGuard env;
    env.set("HOME", dir / "home");
    for (const auto &[config, expected] : {std::pair<std::optional<std::string>, std::string>{dir / "config", dir / "config"},
                                           {"relative/config", dir / "home/.config"},
                                           {std::nullopt, dir / "home/.config"}}) {
        env.set("XDG_CONFIG_HOME", config);
        NSUserDefaults::resetStandardUserDefaults();
        // A program without a bundle identifier has its process name as the domain.
        EXPECT_EQ(NSUserDefaults::standardUserDefaults()->path(), expected + "/FoundationTests/FoundationTests.plist");
    }
    // Values are copies: changing the caller's mutable value later changes nothing stored.
    auto defaults = NSUserDefaults::standardUserDefaults();
    CFRef<CFMutableDictionaryRef> value = MakeDictionary();
    defaults->setObject(value.get(), CFSTR("value"));
    CFDictionarySetValue(value.get(), CFSTR("later"), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(defaults->objectForKey(CFSTR("value")).get())), 0);
    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
    EXPECT_DEATH(defaults->setObject(url.get(), CFSTR("url")), "failed assertion `CFPropertyListIsValid");
    NSUserDefaults::resetStandardUserDefaults();
}

TEST(NSNotificationCenter, DeliversInOrderToMatchingObserversUntilRemoved) {
    NSNotificationCenter center;
    std::vector<std::string> calls;
    int x = 0, y = 0;
    auto note = [&](const char *who) { return [&calls, who](const NSNotification &) { calls.push_back(who); }; };
    center.addObserverWithHandler(&x, note("any name, object x"), nullptr, &x);
    center.addObserverWithHandler(&y, note("N, object y"), CFSTR("N"), &y);
    center.addObserverWithHandler(&y, note("Other, object y"), CFSTR("Other"), &y);
    // The first of these removes the second, and adds a newcomer, while N is being delivered.
    int remover = 0, removed = 0, newcomer = 0;
    center.addObserverWithHandler(&remover, [&](const NSNotification &) {
        calls.push_back("remover");
        center.removeObserver(&removed);
        center.addObserverWithHandler(&newcomer, note("newcomer"), CFSTR("N"), nullptr);
    }, CFSTR("N"), nullptr);
    center.addObserverWithHandler(&removed, note("removed"), CFSTR("N"), nullptr);
    center.addObserverWithHandler(&y, note("N, any object"), Str("N").get(), nullptr);

    center.postNotificationName(CFSTR("N"), &x);
    EXPECT_EQ(calls, (std::vector<std::string>{"any name, object x", "remover", "N, any object"}));
    calls.clear();
    center.removeObserver(&remover);
    center.removeObserver(&y, CFSTR("N"), &y);
    center.postNotificationName(CFSTR("N"), &y);
    EXPECT_EQ(calls, (std::vector<std::string>{"N, any object", "newcomer"}));
    calls.clear();
    center.postNotificationName(CFSTR("Other"), &x);
    EXPECT_EQ(calls, (std::vector<std::string>{"any name, object x"}));
    calls.clear();
    // Removing y's N for object y left its other name.
    center.postNotificationName(CFSTR("Other"), &y);
    EXPECT_EQ(calls, (std::vector<std::string>{"Other, object y"}));
    EXPECT_EQ(center.observations().size(), 4u);
}

TEST(NSFileManager, AttributesFollowLinksOnlyWhenAskedAndRemovalDoesNot) {
    TempDir dir;
    const std::string file = dir / "file", link = dir / "link", tree = dir / "tree";
    WriteFile(file, "12345", 0640);
    std::filesystem::create_symlink(file, link);
    auto attributes = [](const std::string &path, bool traverse) {
        return NSFileManager::defaultManager().fileAttributesAtPath(Str(path).get(), traverse);
    };
    CFRef<CFDictionaryRef> target = attributes(link, true), itself = attributes(link, false);
    ASSERT_TRUE(target && itself);
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(target.get(), NSFileType), NSFileTypeRegular));
    EXPECT_EQ(NumberValue(CFDictionaryGetValue(target.get(), NSFilePosixPermissions)), 0640);
    EXPECT_EQ(NumberValue(CFDictionaryGetValue(target.get(), NSFileSize)), 5);
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(itself.get(), NSFileType), NSFileTypeSymbolicLink));
    EXPECT_FALSE(attributes(dir / "missing", true));

    WriteFile(tree + "/a/b/c", "");
    std::filesystem::create_symlink(tree, dir / "tree-link");
    EXPECT_TRUE(NSFileManager::defaultManager().removeFileAtPath(Str(dir / "tree-link").get(), nullptr));
    EXPECT_TRUE(std::filesystem::exists(tree + "/a/b/c"));
    EXPECT_TRUE(NSFileManager::defaultManager().removeFileAtPath(Str(tree).get(), nullptr));
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_FALSE(NSFileManager::defaultManager().removeFileAtPath(Str(tree).get(), nullptr));
}

}  // namespace
