// The preference pane as the host sees it, offscreen: its protocol in English and German, its nib
// (broken ones too) and image, its lock against polkitd on a private system bus, the authorization
// it hands the shared controller, and the real helper tool behind the test wake and the switch.

#include "TDWakeFromSleepController.h"
#include "TDWakeFromSleepPreferencePaneExtension.h"

#include "AuthorizationInternal.h"

#include <CFTestSupport.h>
#include <PrivateBuses.h>
#include <TestSupport.h>
#include <UserHome.h>

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <clocale>

using namespace wfstest;
using wfs::security::IdOf;

namespace {

constexpr char kUnlockAction[] = "org.tidemark.wakefromsleep.unlock";
constexpr char kPaneLogFile[] = "Plugins/TDWakeFromSleep/TDWakeFromSleepPreferencePaneExtension";
constexpr char kResourcesVariable[] = "WFS_PANE_TEST_RESOURCES";
constexpr char kNib[] = "TDWakeFromSleepPreferencePane.ui";

class Pane : public ::testing::Test {
protected:
    void SetUp() override {
        NSUserDefaults::resetStandardUserDefaults();
        PLLog::setCaptureForTesting([this](const PLLogRecord &record) { logged_.push_back(record); });
    }
    void TearDown() override {
        PLLog::setCaptureForTesting(nullptr);
        PLLog::setInfoEnabled(false);
        NSUserDefaults::resetStandardUserDefaults();
    }

    // Lines of `level` whose message contains `text` (and, when given, from `file`).
    int Logged(PLLogLevel level, const std::string &text, const char *file = nullptr) const {
        return static_cast<int>(std::count_if(logged_.begin(), logged_.end(), [&](const PLLogRecord &r) {
            return r.level == level && r.message.find(text) != std::string::npos && (file == nullptr || r.fileName == file);
        }));
    }
    // The pane's view, shown as the host shows it.
    static NSView *Show(TDWakeFromSleepPreferencePaneExtension &pane) {
        NSView *view = pane.preferencePaneView();
        if (view == nullptr) return nullptr;
        view->resize(view->sizeHint().expandedTo(view->minimumSize()));
        pane.willDisplayPreferencePane();
        view->show();
        return view;
    }
    // Clicks the lock and waits for polkit's answer.
    static void ClickLock(TDWakeFromSleepPreferencePaneExtension &pane) {
        SFAuthorizationView *lock = pane.authorizationView();
        lock->findChild<QToolButton *>("lockButton")->click();
        EXPECT_TRUE(WaitUntil([&] { return lock->authorizationState() != SFAuthorizationViewInProgressState; }));
    }

    UserHome home_{SetUserIDCapableBase()};
    TempDir &dir_ = home_.dir;
    EnvGuard &env_ = home_.env;
    std::vector<PLLogRecord> logged_;
};

TEST_F(Pane, AnswersTheProtocolWithoutAndWithTranslationsAndLoadsItsViewOnce) {
    // The view's texts are checked below only as translated: the windows test reads the English lock.
    const struct {
        const char *language;
        bool infoEnabled;
        const char *title, *tooltip;
    } cases[] = {
        {nullptr, false, "Wake & Startup", "Open Wake & Startup Preference Pane"},
        {"de", true, "Aufwachen & Starten", "Einstellungen „Aufwachen & Starten“ öffnen"},
    };
    std::vector<QString> english;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.language ? c.language : "untranslated");
        logged_.clear();
        env_.set("LANGUAGE", c.language ? std::optional<std::string>(c.language) : std::nullopt);
        // gettext reads LANGUAGE only outside the "C" locale.
        ASSERT_NE(setlocale(LC_MESSAGES, c.language ? "C.UTF-8" : "C"), nullptr);
        PLLog::setInfoEnabled(c.infoEnabled);
        TDWakeFromSleepPreferencePaneExtension pane;
        EXPECT_EQ(Utf8(pane.preferencePaneTitle().get()), c.title);
        EXPECT_EQ(Utf8(pane.preferencePaneLabel().get()), c.title);
        EXPECT_EQ(Utf8(pane.preferencePaneTooltip().get()), c.tooltip);
        NSImage *image = pane.preferencePaneImage();
        EXPECT_TRUE(image != nullptr && !image->pixmap(64).isNull());
        NSView *view = pane.preferencePaneView();
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(pane.preferencePaneView(), view);
        EXPECT_EQ(Logged(PLLogLevel::Info, "loaded view", kPaneLogFile), c.infoEnabled ? 1 : 0);
        // Every text the view shows has its translation.
        std::vector<QString> texts;
        for (QWidget *widget : view->findChildren<QWidget *>()) {
            for (const char *property : {"text", "toolTip"}) {
                const QString text = widget->property(property).toString();
                if (!text.isEmpty() && widget->objectName() != "statusLine") texts.push_back(text);
            }
        }
        for (const QString &text : texts) EXPECT_EQ(std::count(english.begin(), english.end(), text), 0) << text.toStdString();
        if (!c.language) english = texts;
        EXPECT_EQ(logged_.size(), c.infoEnabled ? 1u : 0u);
    }
    setlocale(LC_MESSAGES, "C");
}

// Run again from a copy of this program in a bundle of its own, whose resources it changes.
TEST_F(Pane, ABrokenNibFailsTheLoadAndTheNextRequestTriesAgain) {
    if (!IsTestChild()) {
        const std::string contents = dir_ / "Copy.app/Contents";
        RerunThisTest(ChildSetup().Env(kResourcesVariable, contents + "/Resources"), CopySelfIntoBundle(contents, true));
        return;
    }
    const std::string resources = getenv(kResourcesVariable);
    const std::string nib = resources + "/" + kNib;
    const std::string good = ReadFile(nib);
    // The good nib with every `from` replaced.
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string text = good;
        EXPECT_NE(text.find(from), std::string::npos) << from;
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) text.replace(at, from.size(), to);
        return text;
    };
    const struct {
        const char *what;
        std::optional<std::string> nib;  // nullopt: no nib at all
        const char *reason;              // in the loader's line
    } cases[] = {
        {"no nib", std::nullopt, "no TDWakeFromSleepPreferencePane.ui among the resources"},
        {"not a nib", "<ui version=\"4.0\"><widget", kNib},
        {"an outlet missing", replaced("name=\"togglePrivilegesButton\"", "name=\"toggle\""),
         "outlet: no object named \"togglePrivilegesButton\""},
        {"an outlet of the wrong class", replaced("class=\"SFAuthorizationView\" name", "class=\"QLabel\" name"),
         "outlet \"authorizationView\" is a QLabel, not a SFAuthorizationView"},
        // Declared as a kind of QWidget, as Qt Designer does, an unknown class is made a QWidget.
        {"a class no one registered", replaced("SFAuthorizationView", "NoSuchView"),
         "outlet \"authorizationView\" is a QWidget, not a SFAuthorizationView"},
        {"an action the pane does not have", replaced("doIt:", "doThat:"), "names the action doThat:, which its owner does not have"},
        {"a key path the pane does not have", replaced("<string>statusText</string>", "<string>status</string>"),
         "is bound to status, which its owner does not have"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        logged_.clear();
        std::filesystem::remove(nib);
        if (c.nib) WriteFile(nib, *c.nib);
        TDWakeFromSleepPreferencePaneExtension pane;
        EXPECT_EQ(pane.preferencePaneView(), nullptr);
        EXPECT_EQ(pane.authorizationView(), nullptr);
        pane.willDisplayPreferencePane();  // nothing to ask yet
        EXPECT_EQ(Logged(PLLogLevel::Error, c.reason, "Platform/AppKit/NSNibLoading"), 1);
        EXPECT_EQ(Logged(PLLogLevel::Error, "failed to load view", kPaneLogFile), 1);
        EXPECT_EQ(Logged(PLLogLevel::Assert, "assertion failed: view != nil assert failed", kPaneLogFile), 1);
        EXPECT_TRUE(std::all_of(logged_.begin(), logged_.end(), [](const PLLogRecord &r) {
            return r.fileName != kPaneLogFile || r.methodName == "-[TDWakeFromSleepPreferencePaneExtension view]";
        }));
        // Fixed, the same pane loads it.
        WriteFile(nib, good);
        logged_.clear();
        ASSERT_NE(pane.preferencePaneView(), nullptr);
        EXPECT_NE(pane.authorizationView(), nullptr);
        EXPECT_TRUE(logged_.empty());
    }

    // The image: the drawing (as shipped), else the picture; none that reads is no image.
    const std::string svg = resources + "/TDWakeFromSleepPreferencePane.svg";
    const std::string png = resources + "/TDWakeFromSleepPreferencePane.png";
    QImage picture(32, 32, QImage::Format_ARGB32);
    picture.fill(Qt::darkBlue);
    const struct {
        const char *what;
        const char *svg;
        bool png, image;
    } images[] = {
        {"only a picture", nullptr, true, true},
        {"a damaged drawing and a picture", "<svg", true, true},
        {"a damaged drawing alone", "<svg", false, false},
    };
    for (const auto &i : images) {
        SCOPED_TRACE(i.what);
        logged_.clear();
        std::filesystem::remove(svg);
        std::filesystem::remove(png);
        if (i.svg) WriteFile(svg, i.svg);
        EXPECT_TRUE(!i.png || picture.save(QString::fromStdString(png)));
        TDWakeFromSleepPreferencePaneExtension pane;
        NSImage *image = pane.preferencePaneImage();
        EXPECT_EQ(image != nullptr && !image->pixmap(32).isNull(), i.image);
        EXPECT_EQ(Logged(PLLogLevel::Assert, "assertion failed: nil preference pane image", kPaneLogFile), i.image ? 0 : 1);
    }
}

TEST_F(Pane, TheLockHandsItsAuthorizationToTheController) {
    TDWakeFromSleepController *controller = TDWakeFromSleepController::sharedInstance();
    ASSERT_NE(controller, nullptr);
    const auto before = IdOf(controller->authorizationRef());
    const std::string lockLog = "Platform/SecurityInterface/SFAuthorizationView";

    // No system bus at first: the lock stays closed and says why, and a bus that comes later is
    // used (the view connects again).
    env_.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_ / "no-bus");
    TDWakeFromSleepPreferencePaneExtension pane;
    NSView *view = Show(pane);
    ASSERT_NE(view, nullptr);
    SFAuthorizationView *lock = pane.authorizationView();
    auto *toggle = view->findChild<QCheckBox *>("togglePrivilegesButton");
    const QString unreachable = "polkit, which grants administrator rights, cannot be reached";
    EXPECT_TRUE(WaitUntil([&] { return lock->failureReason().contains(unreachable); }));
    PrivateBuses buses({.polkit = true});
    const struct {
        const char *what;
        std::function<void()> arrange;
        QString reason;  // under the lock; empty for none
    } failures[] = {
        {"polkit answers an error", [&] { buses.setPolkitError("org.freedesktop.PolicyKit1.Error.Failed",
                                                              "Action org.tidemark.wakefromsleep.unlock is not registered"); },
         "polkit answered “org.freedesktop.PolicyKit1.Error.Failed: Action org.tidemark.wakefromsleep.unlock is not registered”"},
        {"polkit is gone", [&] { buses.stopPolkit(); }, unreachable},
        {"polkit denies", [&] { buses.startPolkit(); }, ""},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.what);
        logged_.clear();
        f.arrange();
        ClickLock(pane);
        EXPECT_EQ(lock->authorizationState(), SFAuthorizationViewLockedState);
        EXPECT_EQ(lock->failureReason().contains(f.reason), true) << lock->failureReason().toStdString();
        EXPECT_EQ(lock->failureReason().isEmpty(), f.reason.isEmpty());
        EXPECT_EQ(Logged(PLLogLevel::Error, f.reason.toStdString(), lockLog.c_str()), f.reason.isEmpty() ? 0 : 1);
        EXPECT_FALSE(toggle->isEnabled());
        EXPECT_EQ(IdOf(controller->authorizationRef()), before);  // nothing reached the controller
    }

    // polkit grants: the answer comes later, through the event loop; then the lock is open, the
    // switch enabled and the controller holds the view's new authorization.
    buses.setPolkitAllowed({kUnlockAction});
    lock->findChild<QToolButton *>("lockButton")->click();
    EXPECT_EQ(lock->authorizationState(), SFAuthorizationViewInProgressState);
    EXPECT_FALSE(lock->findChild<QToolButton *>("lockButton")->isEnabled());
    EXPECT_FALSE(toggle->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return lock->authorizationState() == SFAuthorizationViewUnlockedState; }));
    EXPECT_TRUE(toggle->isEnabled());
    const auto unlocked = IdOf(controller->authorizationRef());
    EXPECT_NE(unlocked, before);
    EXPECT_EQ(unlocked, IdOf(lock->authorization()->authorizationRef()));
    // Each click asked for the unlock action with interaction allowed.
    const auto clicks = buses.polkitChecks();
    ASSERT_EQ(clicks.size(), 2u);
    for (const auto &[action, flags] : clicks) EXPECT_EQ(std::pair(action, flags), std::pair(std::string(kUnlockAction), 1u));

    if (geteuid() == 0) {
        // Root is granted the right at once. The test wake goes straight to the tool: an event 91
        // seconds ahead, nothing in the defaults, and the status line shows it.
        EXPECT_TRUE(wfs::security::HoldsRight(controller->authorizationRef(), kAuthorizationRightExecute));
        const CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
        view->findChild<QPushButton *>("testWakeButton")->click();
        const CFAbsoluteTime end = CFAbsoluteTimeGetCurrent();
        const std::vector<double> wakes = home_.scheduledWakes();
        ASSERT_EQ(wakes.size(), 1u);
        EXPECT_GE(wakes[0], start + 91.0 + kCFAbsoluteTimeIntervalSince1970);
        EXPECT_LE(wakes[0], end + 91.0 + kCFAbsoluteTimeIntervalSince1970);
        EXPECT_FALSE(std::filesystem::exists(NSUserDefaults::standardUserDefaults()->path()));
        const QString status = view->findChild<QLabel *>("statusLine")->text();
        const time_t seconds = static_cast<time_t>(wakes[0]);
        char local[64];
        strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S", localtime(&seconds));
        EXPECT_TRUE(status.contains(QString("Next wake: ") + local)) << status.toStdString();
    }

    // Locked again: the switch is disabled, and the controller holds the view's authorization,
    // the same one, whose rights are gone.
    ClickLock(pane);
    EXPECT_EQ(lock->authorizationState(), SFAuthorizationViewLockedState);
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_EQ(IdOf(controller->authorizationRef()), unlocked);
    EXPECT_FALSE(wfs::security::HoldsRight(controller->authorizationRef(), kAuthorizationRightExecute));
    // polkit still grants, but a lock the person closed stays closed when the pane is shown again.
    // The status asked then allows no interaction.
    const size_t asked = buses.polkitChecks().size();
    pane.willDisplayPreferencePane();
    EXPECT_TRUE(WaitUntil([&] { return buses.polkitChecks().size() > asked; }));
    EXPECT_EQ(buses.polkitChecks().back(), std::pair(std::string(kUnlockAction), 0u));
    EXPECT_FALSE(WaitUntil([&] { return lock->authorizationState() != SFAuthorizationViewLockedState; }, 500ms));
}

// As root: the switch, turned on and off by an unprivileged user (this test again, as nobody),
// has the real tool repair itself through the test's privileged launcher, and then deletes it.
TEST_F(Pane, TheSwitchGrantsAndWithdrawsTheToolsPrivilege) {
    if (!IsTestChild()) {
        WFS_REQUIRE_ROOT();
        ASSERT_TRUE(InstallCopy(WFS_TEST_PRIVILEGED_LAUNCHER, dir_ / "launcher", 0, 04755));
        ASSERT_TRUE(home_.giveToNobody(dir_ / "launcher"));
        RerunThisTest(ChildSetup().AsNobody().Env("WFS_PANE_TEST_HOME", dir_.path()));
        return;
    }
    // The parent's folders, now ours.
    const std::string home = getenv("WFS_PANE_TEST_HOME");
    UserHome::PointAt(env_, home);
    env_.set("WFS_PRIVILEGED_LAUNCHER", home + "/launcher");
    env_.set("WFS_TEST_LAUNCHER_MODE", "grant");
    const std::string tool = home + "/data/TDWakeFromSleepPaneTests/IOPMSchedulePowerEventTool";
    PrivateBuses buses({.polkit = true});
    buses.setPolkitAllowed({kUnlockAction});
    TDWakeFromSleepPreferencePaneExtension pane;
    NSView *view = Show(pane);
    ASSERT_NE(view, nullptr);
    auto *toggle = view->findChild<QCheckBox *>("togglePrivilegesButton");
    ASSERT_TRUE(WaitUntil([&] { return toggle->isEnabled(); }));
    EXPECT_FALSE(toggle->isChecked());  // the copy just installed is ours

    const QLabel *status = view->findChild<QLabel *>("statusLine");
    struct stat st {};
    toggle->click();
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(stat(tool.c_str(), &st) == 0 && st.st_uid == 0 && st.st_mode == (S_IFREG | 04555u));
    EXPECT_TRUE(status->text().startsWith("The helper tool is privileged"));
    toggle->click();
    EXPECT_FALSE(toggle->isChecked());
    // Root's copy is gone; reading the switch again installed a fresh one, ours.
    EXPECT_TRUE(stat(tool.c_str(), &st) == 0 && st.st_uid == kNobodyID);
    EXPECT_TRUE(status->text().startsWith("The helper tool is not privileged"));
}

}  // namespace
