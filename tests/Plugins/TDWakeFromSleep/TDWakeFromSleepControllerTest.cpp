// The controller against real parts: a temporary home with the real defaults file, the real
// workspace center, timers from the test's application object and, as root, the real helper tool
// that toolPath installs (root's copy is root's own, so it is privileged), with the event store and
// a fake sysfs RTC redirected into the temporary folder. The test program is its own host: it sits
// in TDWakeFromSleepControllerTests.app, whose Info.plist names the host and which carries the
// tool's template, so the controller linked into it finds both as it does in the real host.

#include "TDWakeFromSleepController.h"

#include "AuthorizationInternal.h"

#include <IOKit/IOKit.h>
#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <TestSupport.h>
#include <UserHome.h>

#include <cmath>
#include <sys/mount.h>

using namespace wfstest;
using wfs::CFRef;

namespace {

constexpr char kHost[] = "org.tidemark.Tidemark";
constexpr char kLogFile[] = "Plugins/TDWakeFromSleep/TDWakeFromSleepController";

CFRef<CFDateRef> Date(CFAbsoluteTime time) { return CFRef<CFDateRef>(CFDateCreate(nullptr, time)); }

double TimeOf(CFTypeRef date) {
    return date != nullptr && CFGetTypeID(date) == CFDateGetTypeID() ? CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)) : NAN;
}

// A timer of the test's application object that counts what it is asked.
struct TestTimer : PLTimer {
    TestTimer(bool running, long mode, double alarm) : running_(running), mode_(mode), alarm_(alarm) {}
    bool running() const override {
        ++asked[0];
        return running_;
    }
    long mode() const override {
        ++asked[1];
        return mode_;
    }
    CFRef<CFDateRef> alarmDate() const override {
        ++asked[2];
        return std::isnan(alarm_) ? CFRef<CFDateRef>() : Date(alarm_);
    }
    bool running_;
    long mode_;
    double alarm_;
    mutable int asked[3] = {0, 0, 0};
};

// A request as the controller sent it, with the wake date it held in memory and on disk then.
struct Request {
    std::string command, scheduler, type;
    double date, inMemory, onDisk;
};

// The controller, noting every message that the tests look for before handing it on.
class RecordingController : public TDWakeFromSleepController {
public:
    void performToolCommand(CFStringRef command, CFDateRef date, CFStringRef scheduler, CFStringRef type) override {
        CFRef<CFDictionaryRef> disk;
        wfs::foundation::PropertyListFile(NSUserDefaults::standardUserDefaults()->path()).Read(disk);
        requests.push_back({Utf8(command), Utf8(scheduler), Utf8(type), TimeOf(date), TimeOf(wakeDate().get()),
                            TimeOf(disk ? CFDictionaryGetValue(disk.get(), TDWakeFromSleepWakeDateKey) : nullptr)});
        TDWakeFromSleepController::performToolCommand(command, date, scheduler, type);
    }
    CFRef<CFURLRef> toolPath() override {
        if (toolOverride.empty()) return TDWakeFromSleepController::toolPath();
        return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8 *>(toolOverride.data()), static_cast<CFIndex>(toolOverride.size()), false));
    }
    std::vector<Request> requests;
    std::string toolOverride;
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        NSUserDefaults::resetStandardUserDefaults();
        PLLog::setCaptureForTesting([this](const PLLogRecord &record) { logged_.push_back(record); });
        NSApp()->setTimersSource([this] { return std::make_shared<const PLTimerCollection>(timers_.begin(), timers_.end()); });
    }
    void TearDown() override {
        NSApp()->setTimersSource(nullptr);
        PLLog::setCaptureForTesting(nullptr);
        NSUserDefaults::resetStandardUserDefaults();
    }

    std::string ToolPath() const { return dir_ / "data/TDWakeFromSleepControllerTests/IOPMSchedulePowerEventTool"; }
    std::string DefaultsPath() const { return NSUserDefaults::standardUserDefaults()->path(); }
    double Stored() { return TimeOf(NSUserDefaults::standardUserDefaults()->objectForKey(TDWakeFromSleepWakeDateKey).get()); }
    // What the defaults file holds under the key; NAN for nothing.
    double OnDisk() {
        CFRef<CFDictionaryRef> disk;
        EXPECT_EQ(wfs::foundation::PropertyListFile(DefaultsPath()).Read(disk), 0);
        return TimeOf(disk ? CFDictionaryGetValue(disk.get(), TDWakeFromSleepWakeDateKey) : nullptr);
    }
    // The events in the store, as "<seconds> <scheduler> <type>".
    std::vector<std::string> Events() const {
        std::vector<std::string> listed;
        CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
        for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); ++i) {
            auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
            listed.push_back(Event(TimeOf(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey))),
                                   Utf8(static_cast<CFStringRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventAppNameKey))))));
        }
        return listed;
    }
    static std::string Event(double time, const std::string &scheduler = kHost) {
        return UnixSecondsText(time) + " " + scheduler + " wakepoweron";
    }
    bool Logged(PLLogLevel level, const std::string &message, const std::string &method) const {
        return std::any_of(logged_.begin(), logged_.end(), [&](const PLLogRecord &r) {
            return r.level == level && r.message == message && r.methodName == method && r.fileName == kLogFile;
        });
    }

    UserHome home_{SetUserIDCapableBase()};
    TempDir &dir_ = home_.dir;
    EnvGuard &env_ = home_.env;
    std::vector<PLLogRecord> logged_;
    std::vector<std::shared_ptr<TestTimer>> timers_;
};

TEST_F(Controller, ChoosesTheEarliestRunningAlarmAheadOfOneNow) {
    WFS_REQUIRE_ROOT();
    struct TimerSpec {
        bool running;
        long mode;
        double ahead;  // seconds from now; NAN: no alarm date
    };
    const struct {
        const char *what;
        std::vector<TimerSpec> timers;
        double chosen;  // NAN: no date
    } cases[] = {
        {"no timers", {}, NAN},
        {"no running timer", {{false, 1, 3600}}, NAN},
        {"running timers of other modes", {{true, 0, 600}, {true, 2, 900}}, NAN},
        {"an alarm that has passed, then one ahead", {{true, 1, -1}, {true, 1, 7200}}, 7200},
        {"the earliest, whatever the order", {{true, 1, 7200}, {true, 1, 3600}, {true, 1, 5400}}, 3600},
        {"earlier alarms of a stopped timer and of mode 0", {{false, 1, 600}, {true, 0, 700}, {true, 1, 3600}}, 3600},
        {"a timer without an alarm date", {{true, 1, NAN}, {true, 1, 4000}}, 4000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir_ / "store");
        NSUserDefaults::standardUserDefaults()->removeObjectForKey(TDWakeFromSleepWakeDateKey);
        const CFAbsoluteTime now = SecondsFromNow(0);
        timers_.clear();
        for (const TimerSpec &t : c.timers) timers_.push_back(std::make_shared<TestTimer>(t.running, t.mode, now + t.ahead));
        RecordingController controller;
        NSWorkspace::sharedWorkspace().notificationCenter().postNotificationName(NSWorkspaceWillSleepNotification, nullptr);
        if (std::isnan(c.chosen)) {
            EXPECT_TRUE(controller.requests.empty());
            EXPECT_TRUE(std::isnan(Stored()));
            EXPECT_TRUE(Events().empty());
        } else {
            ASSERT_EQ(controller.requests.size(), 1u);
            EXPECT_EQ(controller.requests[0].command, "SchedulePowerEvent");
            EXPECT_EQ(controller.requests[0].date, now + c.chosen);
            EXPECT_EQ(Stored(), now + c.chosen);
            EXPECT_EQ(Events(), std::vector<std::string>{Event(now + c.chosen)});
        }
        // The mode only of running timers, the alarm only of running alarms.
        for (const auto &timer : timers_) {
            EXPECT_EQ(timer->asked[1], timer->running_ ? 1 : 0);
            EXPECT_EQ(timer->asked[2], timer->running_ && timer->mode_ == 1 ? 1 : 0);
        }
    }
}

TEST_F(Controller, KeepsThirtySecondsOfLeadTime) {
    WFS_REQUIRE_ROOT();
    const struct {
        double ahead;
        bool moved;
    } cases[] = {{30.0, true}, {31, false}, {-600, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ahead);
        logged_.clear();
        // No earlier date to cancel: nothing but reading the defaults comes before the check.
        NSUserDefaults::standardUserDefaults()->removeObjectForKey(TDWakeFromSleepWakeDateKey);
        std::filesystem::remove_all(dir_ / "store");
        RecordingController controller;
        const CFAbsoluteTime before = CFAbsoluteTimeGetCurrent();
        const CFAbsoluteTime asked = before + c.ahead;
        controller.setWakeDate(Date(asked).get());
        const CFAbsoluteTime after = CFAbsoluteTimeGetCurrent();
        const double stored = Stored();
        if (c.moved) {
            EXPECT_GE(stored, before + 30.0);
            EXPECT_LE(stored, after + 30.0);
        } else {
            EXPECT_EQ(stored, asked);
        }
        EXPECT_EQ(Logged(PLLogLevel::Warn, "wakeDate is less then 30 seconds away, rescheduling wake date to now + 30 seconds",
                         "-[TDWakeFromSleepController setWakeDate:]"),
                  c.moved);
        ASSERT_EQ(controller.requests.size(), 1u);
        const Request &schedule = controller.requests[0];
        EXPECT_EQ(schedule.command, "SchedulePowerEvent");
        EXPECT_EQ(schedule.scheduler, kHost);
        EXPECT_EQ(schedule.type, "wakepoweron");
        EXPECT_EQ(schedule.date, stored);
        EXPECT_EQ(OnDisk(), stored);
        EXPECT_EQ(Events(), std::vector<std::string>{Event(stored)});
    }
}

TEST_F(Controller, CancelsStoresSchedulesAndSynchronizesInThatOrder) {
    WFS_REQUIRE_ROOT();
    RecordingController controller;
    const CFAbsoluteTime ahead = SecondsFromNow(3600);
    controller.setWakeDate(Date(ahead).get());
    // The old date, still ahead, is cancelled while it is stored; the new one is stored in memory
    // before it is scheduled, and written out only afterwards.
    controller.requests.clear();
    controller.setWakeDate(Date(ahead + 60).get());
    ASSERT_EQ(controller.requests.size(), 2u);
    EXPECT_EQ(controller.requests[0].command, "CancelPowerEvent");
    EXPECT_EQ(controller.requests[0].date, ahead);
    EXPECT_EQ(controller.requests[0].inMemory, ahead);
    EXPECT_EQ(controller.requests[0].onDisk, ahead);
    EXPECT_EQ(controller.requests[1].command, "SchedulePowerEvent");
    EXPECT_EQ(controller.requests[1].inMemory, ahead + 60);
    EXPECT_EQ(controller.requests[1].onDisk, ahead);
    EXPECT_EQ(OnDisk(), ahead + 60);
    EXPECT_EQ(Events(), std::vector<std::string>{Event(ahead + 60)});
}

TEST_F(Controller, TheSameDateAgainChangesNothingAndAPassedDateIsNotCancelled) {
    WFS_REQUIRE_ROOT();
    RecordingController controller;
    const CFAbsoluteTime ahead = SecondsFromNow(3600);
    controller.setWakeDate(Date(ahead).get());
    struct stat before {}, after {};
    ASSERT_EQ(stat(DefaultsPath().c_str(), &before), 0);
    controller.requests.clear();
    controller.setWakeDate(Date(ahead).get());
    ASSERT_EQ(stat(DefaultsPath().c_str(), &after), 0);
    EXPECT_TRUE(controller.requests.empty());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // A stored date that has passed (left by an earlier run of the host) gets no cancel.
    NSUserDefaults::standardUserDefaults()->setObject(Date(SecondsFromNow(-60)).get(), TDWakeFromSleepWakeDateKey);
    controller.setWakeDate(Date(ahead + 60).get());
    ASSERT_EQ(controller.requests.size(), 1u);
    EXPECT_EQ(controller.requests[0].command, "SchedulePowerEvent");
    EXPECT_EQ(Stored(), ahead + 60);
}

TEST_F(Controller, PrivilegeFollowsTheToolsOwnerAndIsSetOnlyWhenItDiffers) {
    WFS_REQUIRE_ROOT();
    {
        RecordingController controller;
        // Root's fresh copy is root's: asking for privileges changes nothing, withdrawing deletes it.
        controller.setToolIsPrivileged(true);
        EXPECT_TRUE(controller.requests.empty());
        EXPECT_TRUE(std::filesystem::exists(ToolPath()));
        controller.setToolIsPrivileged(false);
        EXPECT_FALSE(std::filesystem::exists(ToolPath()));
        EXPECT_TRUE(controller.requests.empty());
        // The owner of a link's target decides.
        ASSERT_TRUE(InstallCopy(WFS_TOOL_TEMPLATE, dir_ / "nobodys-tool", kNobodyID, 0755));
        std::filesystem::create_symlink(dir_ / "nobodys-tool", dir_ / "link");
        controller.toolOverride = dir_ / "link";
        EXPECT_FALSE(controller.toolIsPrivileged());
    }

    // As nobody: a stored date and an alarm ahead, and a tool that is nobody's own. Nothing is
    // asked of it; the denied privileged launch then shows as the cancel's error; granting runs
    // "GetPrivileges", after which the tool has repaired itself.
    ASSERT_TRUE(InstallCopy(WFS_TEST_PRIVILEGED_LAUNCHER, dir_ / "launcher", 0, 04755));
    const CFAbsoluteTime stored = SecondsFromNow(7200);
    NSUserDefaults::standardUserDefaults()->setObject(Date(stored).get(), TDWakeFromSleepWakeDateKey);
    ASSERT_TRUE(NSUserDefaults::standardUserDefaults()->synchronize());
    ASSERT_TRUE(home_.giveToNobody(dir_ / "launcher"));
    timers_.push_back(std::make_shared<TestTimer>(true, 1, SecondsFromNow(3600)));
    RunInChild(
        [&] {
            setenv("WFS_PRIVILEGED_LAUNCHER", (dir_ / "launcher").c_str(), 1);
            setenv("WFS_TEST_LAUNCHER_MODE", "refuse", 1);
            RecordingController nobodys;
            WFS_CHILD_EXPECT(!nobodys.toolIsPrivileged());
            for (CFStringRef name : {NSWorkspaceWillSleepNotification, NSWorkspaceDidWakeNotification}) {
                NSWorkspace::sharedWorkspace().notificationCenter().postNotificationName(name, nullptr);
            }
            WFS_CHILD_EXPECT(nobodys.requests.empty());
            WFS_CHILD_EXPECT(OnDisk() == stored);
            nobodys.cancelWakeFromSleepAtDate(Date(stored).get());
            WFS_CHILD_EXPECT(Logged(PLLogLevel::Error, "CancelPowerEvent failed with error 5362",
                                    "-[TDWakeFromSleepController performToolCommand:date:scheduler:type:]"));
            nobodys.requests.clear();
            setenv("WFS_TEST_LAUNCHER_MODE", "grant", 1);
            nobodys.setToolIsPrivileged(true);
            WFS_CHILD_EXPECT(nobodys.requests.size() == 1 && nobodys.requests[0].command == "GetPrivileges" &&
                             std::isnan(nobodys.requests[0].date) && nobodys.requests[0].scheduler == "(null)" &&
                             nobodys.requests[0].type == "(null)");
            WFS_CHILD_EXPECT(nobodys.toolIsPrivileged());
            struct stat st {};
            WFS_CHILD_EXPECT(stat(ToolPath().c_str(), &st) == 0 && st.st_uid == 0 && st.st_mode == (S_IFREG | 04555u));
        },
        ChildSetup().AsNobody());
    EXPECT_TRUE(Events().empty());
}

TEST_F(Controller, ReplacingTheAuthorizationKeepsTheOldRightsAndTeardownDestroysTheLast) {
    WFS_REQUIRE_ROOT();  // root is granted rights at once, so that keeping them shows
    AuthorizationItem admin = {kAuthorizationRightExecute, 0, nullptr, 0};
    AuthorizationRights rights = {1, &admin};
    AuthorizationRef first = nullptr, second = nullptr;
    ASSERT_EQ(AuthorizationCreate(&rights, nullptr, kAuthorizationFlagExtendRights, &first), 0);
    ASSERT_EQ(AuthorizationCreate(&rights, nullptr, kAuthorizationFlagExtendRights, &second), 0);
    AuthorizationExternalForm firstForm, secondForm, badForm{};
    ASSERT_EQ(AuthorizationMakeExternalForm(first, &firstForm), 0);
    ASSERT_EQ(AuthorizationMakeExternalForm(second, &secondForm), 0);
    {
        RecordingController controller;
        controller.setAuthorizationFromExternalForm(firstForm);
        AuthorizationRef held = controller.authorizationRef();
        EXPECT_EQ(wfs::security::IdOf(held), wfs::security::IdOf(first));
        controller.setAuthorizationFromExternalForm(secondForm);
        EXPECT_FALSE(wfs::security::IdOf(held).has_value());  // freed ...
        EXPECT_TRUE(wfs::security::HoldsRight(first, kAuthorizationRightExecute));  // ... with its rights kept
        EXPECT_EQ(wfs::security::IdOf(controller.authorizationRef()), wfs::security::IdOf(second));

        // A form that is no authorization: logged, and the next request gets a fresh one.
        controller.setAuthorizationFromExternalForm(badForm);
        EXPECT_TRUE(Logged(PLLogLevel::Error, "error creating authorizationRef from external form",
                           "-[TDWakeFromSleepController setAuthorizationFromExternalForm:]"));
        EXPECT_TRUE(wfs::security::HoldsRight(second, kAuthorizationRightExecute));
        AuthorizationRef fresh = controller.authorizationRef();
        ASSERT_NE(fresh, nullptr);
        EXPECT_NE(wfs::security::IdOf(fresh), wfs::security::IdOf(second));
        controller.setAuthorizationFromExternalForm(secondForm);
    }
    EXPECT_FALSE(wfs::security::HoldsRight(second, kAuthorizationRightExecute));  // destroyed at teardown
    EXPECT_TRUE(wfs::security::HoldsRight(first, kAuthorizationRightExecute));
    EXPECT_EQ(AuthorizationFree(first, kAuthorizationFlagDestroyRights), 0);
    EXPECT_EQ(AuthorizationFree(second, kAuthorizationFlagDestroyRights), 0);
}

TEST_F(Controller, ToolFailuresAreLoggedWithTheirNumbers) {
    RecordingController controller;
    controller.toolOverride = dir_ / "no-such-tool";
    controller.cancelWakeFromSleepAtDate(Date(SecondsFromNow(600)).get());
    EXPECT_TRUE(Logged(PLLogLevel::Error, "CancelPowerEvent failed with error 2",  // ENOENT: nothing to start
                       "-[TDWakeFromSleepController performToolCommand:date:scheduler:type:]"));
    EXPECT_TRUE(NoChildLeft());

    // A tool folder that cannot be made: no tool and no line. One that ignores set-user-ID bits
    // (a nosuid mount, in a mount namespace of our own): no tool, and the line that says so.
    controller.toolOverride.clear();
    logged_.clear();
    WriteFile(dir_ / "not-a-folder", "");
    env_.set("XDG_DATA_HOME", dir_ / "not-a-folder");
    EXPECT_FALSE(controller.toolPath());
    EXPECT_TRUE(logged_.empty());
    if (geteuid() != 0) return;
    env_.set("XDG_DATA_HOME", dir_ / "data");
    const Outcome outcome = Child::Fork([&] {
        if (!EnterPrivateMountNamespace() || mount("none", (dir_ / "data").c_str(), "tmpfs", MS_NOSUID, nullptr) != 0) return 77;
        const bool noTool = !controller.toolPath();
        return noTool && Logged(PLLogLevel::Error, "home directory is on an volume that doesn't support setuid root helper tools",
                                "-[TDWakeFromSleepController toolPath]")
                   ? 0 : 1;
    }).Wait();
    if (outcome.Exited(77)) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(outcome.Exited(0)) << outcome;
}

// Run again from a copy of this program in a bundle without the tool's template.
TEST_F(Controller, WithoutTheTemplateInItsBundleNoRequestIsMade) {
    if (!IsTestChild()) {
        RerunThisTest({}, CopySelfIntoBundle(dir_ / "Bare.app/Contents", false));
        return;
    }
    RecordingController controller;
    EXPECT_FALSE(controller.toolPath());
    EXPECT_FALSE(controller.toolIsPrivileged());
    timers_.push_back(std::make_shared<TestTimer>(true, 1, SecondsFromNow(3600)));
    NSWorkspace::sharedWorkspace().notificationCenter().postNotificationName(NSWorkspaceWillSleepNotification, nullptr);
    EXPECT_TRUE(controller.requests.empty());
    controller.getPrivilegesForTool();
    EXPECT_TRUE(Logged(PLLogLevel::Error, "GetPrivileges failed with error -43",
                       "-[TDWakeFromSleepController performToolCommand:date:scheduler:type:]"));
    EXPECT_FALSE(std::filesystem::exists(ToolPath()));
    EXPECT_FALSE(std::filesystem::exists(DefaultsPath()));
}

}  // namespace
