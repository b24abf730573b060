// The controller against real parts: a temporary home with the real defaults file, the workspace
// center, timers from the test's application object and, as root, the real helper tool that
// toolPath installs, with the event store and a fake RTC in the temporary folder. The program is its
// own host: TDWakeFromSleepControllerTests.app names the host and carries the tool's template.

#include "TDWakeFromSleepController.h"

#include "AuthorizationInternal.h"

#include <IOKit/IOKit.h>
#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <TestSupport.h>
#include <UserHome.h>

#include <gmock/gmock.h>
#include <sys/mount.h>

using namespace wfstest;
using wfs::CFRef;

namespace {

constexpr char kLogFile[] = "Plugins/TDWakeFromSleep/TDWakeFromSleepController";
constexpr char kToolMethod[] = "-[TDWakeFromSleepController performToolCommand:date:scheduler:type:]";

CFRef<CFDateRef> Date(CFAbsoluteTime time) { return CFRef<CFDateRef>(CFDateCreate(nullptr, time)); }

double TimeOf(CFTypeRef date) {
    return date != nullptr && CFGetTypeID(date) == CFDateGetTypeID() ? CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)) : NAN;
}

// What the defaults file holds under the key; NAN for nothing.
double OnDisk() {
    CFRef<CFDictionaryRef> disk;
    wfs::foundation::PropertyListFile(NSUserDefaults::standardUserDefaults()->path()).Read(disk);
    return TimeOf(disk ? CFDictionaryGetValue(disk.get(), TDWakeFromSleepWakeDateKey) : nullptr);
}

// The store's list of wake-ups (in seconds since 1970) with one at `time`.
std::vector<double> Wake(CFAbsoluteTime time) { return {time + kCFAbsoluteTimeIntervalSince1970}; }

// A timer of the test's application object that counts what it is asked.
struct TestTimer : PLTimer {
    TestTimer(bool running, long mode, double alarm) : running_(running), mode_(mode), alarm_(alarm) {}
    bool running() const override { return running_; }
    long mode() const override {
        ++modeAsked;
        return mode_;
    }
    CFRef<CFDateRef> alarmDate() const override {
        ++alarmAsked;
        return std::isnan(alarm_) ? CFRef<CFDateRef>() : Date(alarm_);
    }
    bool running_;
    long mode_;
    double alarm_;
    mutable int modeAsked = 0, alarmAsked = 0;
};

// A request as the controller sent it, with the wake date it held in memory and on disk then.
struct Request {
    std::string command, scheduler, type;
    double date, inMemory, onDisk;
    std::string what() const { return command + " " + scheduler + " " + type; }
};

// The controller, noting every message that the tests look for before handing it on.
class RecordingController : public TDWakeFromSleepController {
public:
    void performToolCommand(CFStringRef command, CFDateRef date, CFStringRef scheduler, CFStringRef type) override {
        requests.push_back({Utf8(command), Utf8(scheduler), Utf8(type), TimeOf(date), TimeOf(wakeDate().get()), OnDisk()});
        TDWakeFromSleepController::performToolCommand(command, date, scheduler, type);
    }
    CFRef<CFURLRef> toolPath() override {
        return toolOverride.empty() ? TDWakeFromSleepController::toolPath() : FileURL(toolOverride);
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
    bool Logged(PLLogLevel level, const std::string &message, const std::string &method) const {
        return std::any_of(logged_.begin(), logged_.end(), [&](const PLLogRecord &r) {
            return r.level == level && r.message == message && r.methodName == method && r.fileName == kLogFile;
        });
    }
    static void Post(CFStringRef name) {
        NSWorkspace::sharedWorkspace().notificationCenter().postNotificationName(name, nullptr);
    }

    UserHome home_{SetUserIDCapableBase()};
    TempDir &dir_ = home_.dir;
    std::vector<PLLogRecord> logged_;
    std::vector<std::shared_ptr<TestTimer>> timers_;
};

TEST_F(Controller, ChoosesTheEarliestRunningAlarmAheadOfOneNow) {
    WFS_REQUIRE_ROOT();
    const struct {
        const char *what;
        std::vector<std::tuple<bool, long, double>> timers;  // running, mode, alarm from now (NAN: none)
        double chosen;                                       // NAN: no date
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
        for (auto [running, mode, ahead] : c.timers) {
            timers_.push_back(std::make_shared<TestTimer>(running, mode, now + ahead));
        }
        RecordingController controller;
        Post(NSWorkspaceWillSleepNotification);
        const bool none = std::isnan(c.chosen);
        EXPECT_EQ(controller.requests.size(), none ? 0u : 1u);
        EXPECT_THAT(Stored(), ::testing::NanSensitiveDoubleEq(now + c.chosen));
        EXPECT_EQ(home_.scheduledWakes(), none ? std::vector<double>() : Wake(now + c.chosen));
        // The mode only of running timers, the alarm only of running alarms.
        for (const auto &timer : timers_) {
            EXPECT_EQ(timer->modeAsked, timer->running_ ? 1 : 0);
            EXPECT_EQ(timer->alarmAsked, timer->running_ && timer->mode_ == 1 ? 1 : 0);
        }
    }
}

TEST_F(Controller, KeepsThirtySecondsOfLeadTimeCancelsTheOldDateFirstAndLeavesTheSameDateAlone) {
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
        controller.setWakeDate(Date(before + c.ahead).get());
        const CFAbsoluteTime after = CFAbsoluteTimeGetCurrent();
        const double stored = Stored();
        if (c.moved) {
            EXPECT_GE(stored, before + 30.0);
            EXPECT_LE(stored, after + 30.0);
        } else {
            EXPECT_EQ(stored, before + c.ahead);
        }
        EXPECT_EQ(Logged(PLLogLevel::Warn, "wakeDate is less then 30 seconds away, rescheduling wake date to now + 30 seconds",
                         "-[TDWakeFromSleepController setWakeDate:]"),
                  c.moved);
        ASSERT_EQ(controller.requests.size(), 1u);
        EXPECT_EQ(controller.requests[0].what(), "SchedulePowerEvent org.tidemark.Tidemark wakepoweron");
        EXPECT_EQ(controller.requests[0].date, stored);
    }

    // The same date again: nothing asked, nothing written.
    RecordingController controller;
    const CFAbsoluteTime ahead = SecondsFromNow(3600);
    controller.setWakeDate(Date(ahead).get());
    struct stat before {}, after {};
    ASSERT_EQ(stat(DefaultsPath().c_str(), &before), 0);
    controller.requests.clear();
    controller.setWakeDate(Date(ahead).get());
    ASSERT_EQ(stat(DefaultsPath().c_str(), &after), 0);
    EXPECT_TRUE(controller.requests.empty());
    EXPECT_EQ(std::tuple(after.st_ino, after.st_mtim.tv_sec, after.st_mtim.tv_nsec),
              std::tuple(before.st_ino, before.st_mtim.tv_sec, before.st_mtim.tv_nsec));

    // The old date, still ahead, is cancelled while it is stored; the new one is stored in memory
    // before it is scheduled, and written out only afterwards.
    controller.setWakeDate(Date(ahead + 60).get());
    ASSERT_EQ(controller.requests.size(), 2u);
    const Request &cancel = controller.requests[0], &schedule = controller.requests[1];
    EXPECT_EQ(cancel.command, "CancelPowerEvent");
    EXPECT_EQ(std::tuple(cancel.date, cancel.inMemory, cancel.onDisk), std::tuple(ahead, ahead, ahead));
    EXPECT_EQ(schedule.command, "SchedulePowerEvent");
    EXPECT_EQ(std::pair(schedule.inMemory, schedule.onDisk), std::pair(ahead + 60, ahead));
    EXPECT_EQ(OnDisk(), ahead + 60);
    EXPECT_EQ(home_.scheduledWakes(), Wake(ahead + 60));

    // A stored date that has passed (left by an earlier run of the host) gets no cancel.
    controller.requests.clear();
    NSUserDefaults::standardUserDefaults()->setObject(Date(SecondsFromNow(-60)).get(), TDWakeFromSleepWakeDateKey);
    controller.setWakeDate(Date(ahead + 120).get());
    ASSERT_EQ(controller.requests.size(), 1u);
    EXPECT_EQ(controller.requests[0].command, "SchedulePowerEvent");
}

TEST_F(Controller, PrivilegeFollowsTheToolsOwnerAndIsSetOnlyWhenItDiffers) {
    WFS_REQUIRE_ROOT();
    {
        RecordingController controller;
        // Root's fresh copy is root's: asking for privileges changes nothing, withdrawing deletes it.
        controller.setToolIsPrivileged(true);
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
            Post(NSWorkspaceWillSleepNotification);
            Post(NSWorkspaceDidWakeNotification);
            WFS_CHILD_EXPECT(nobodys.requests.empty());
            WFS_CHILD_EXPECT(OnDisk() == stored);
            nobodys.cancelWakeFromSleepAtDate(Date(stored).get());
            WFS_CHILD_EXPECT(Logged(PLLogLevel::Error, "CancelPowerEvent failed with error 5362", kToolMethod));
            nobodys.requests.clear();
            setenv("WFS_TEST_LAUNCHER_MODE", "grant", 1);
            nobodys.setToolIsPrivileged(true);
            WFS_CHILD_EXPECT(nobodys.requests.size() == 1 && nobodys.requests[0].what() == "GetPrivileges (null) (null)");
            WFS_CHILD_EXPECT(nobodys.requests.empty() || std::isnan(nobodys.requests[0].date));
            WFS_CHILD_EXPECT(nobodys.toolIsPrivileged());
            WFS_CHILD_EXPECT(ModeOf(ToolPath()) == 04555u);
        },
        ChildSetup().AsNobody());
    EXPECT_TRUE(home_.scheduledWakes().empty());
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

// The end runs again from a copy of this program in a bundle without the tool's template.
TEST_F(Controller, ToolFailuresAreLoggedWithTheirNumbers) {
    RecordingController controller;
    if (IsTestChild()) {
        EXPECT_FALSE(controller.toolPath());
        timers_.push_back(std::make_shared<TestTimer>(true, 1, SecondsFromNow(3600)));
        Post(NSWorkspaceWillSleepNotification);
        EXPECT_TRUE(controller.requests.empty());
        controller.getPrivilegesForTool();
        EXPECT_TRUE(Logged(PLLogLevel::Error, "GetPrivileges failed with error -43", kToolMethod));
        EXPECT_FALSE(std::filesystem::exists(ToolPath()));
        EXPECT_FALSE(std::filesystem::exists(DefaultsPath()));
        return;
    }
    controller.toolOverride = dir_ / "no-such-tool";
    controller.cancelWakeFromSleepAtDate(Date(SecondsFromNow(600)).get());
    EXPECT_TRUE(Logged(PLLogLevel::Error, "CancelPowerEvent failed with error 2", kToolMethod));  // ENOENT
    EXPECT_TRUE(NoChildLeft());
    RerunThisTest({}, CopySelfIntoBundle(dir_ / "Bare.app/Contents", false));

    // A tool folder that cannot be made: no tool and no line. One that ignores set-user-ID bits
    // (a nosuid mount, in a mount namespace of our own): no tool, and the line that says so.
    controller.toolOverride.clear();
    logged_.clear();
    WriteFile(dir_ / "not-a-folder", "");
    home_.env.set("XDG_DATA_HOME", dir_ / "not-a-folder");
    EXPECT_FALSE(controller.toolPath());
    EXPECT_TRUE(logged_.empty());
    if (geteuid() != 0) return;
    home_.env.set("XDG_DATA_HOME", dir_ / "data");
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

}  // namespace
