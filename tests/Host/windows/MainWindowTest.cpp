// The main window against the real timers file: each command of the window reaches the file and
// the running clock follows; a bad entry is refused in the dialog with nothing written; closing
// the window hides or minimizes it, never more.
#include "../HostTestSupport.h"

#include <MainWindow.h>
#include <TimerDialog.h>
#include <TimerSync.h>

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace hosttest {
namespace {

using namespace tidemark;

class Window : public ::testing::Test {
protected:
    Window() : clock(nullptr, [this](const std::vector<Timer> &timers) { sync.save(timers); }, Quiet) { sync.start(); }

    QTreeWidgetItem *row(const std::string &id) {
        for (int i = 0; i < window.list()->topLevelItemCount(); ++i) {
            QTreeWidgetItem *item = window.list()->topLevelItem(i);
            if (item->data(0, Qt::UserRole).toString().toStdString() == id) return item;
        }
        ADD_FAILURE() << "no row for " << id;
        return nullptr;
    }
    // Fills the open dialog's fields (those given) and presses OK.
    void fill(const char *when, const char *label, std::initializer_list<std::pair<const char *, bool>> days = {}) {
        TimerDialog *dialog = window.dialog();
        ASSERT_NE(dialog, nullptr);
        if (when) dialog->findChild<QLineEdit *>("when")->setText(when);
        if (label) dialog->findChild<QLineEdit *>("label")->setText(label);
        for (const auto &[day, on] : days) dialog->findChild<QCheckBox *>(QString("day-") + day)->setChecked(on);
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    }
    void click(const char *button) { window.findChild<QPushButton *>(button)->click(); }

    Home home;
    TimerFile file{home.timers()};
    AlarmClock clock;
    TimerSync sync{file, clock, Quiet};
    QAction preferences{"Preferences"}, quit{"Quit"};
    MainWindow window{clock, file, &preferences, &quit};
};

TEST_F(Window, EachCommandReachesTheFileAndTheClockFollows) {
    const struct {
        const char *what;
        std::function<void()> act;
        std::vector<std::string> stored;
    } steps[] = {
        {"new alarm", [&] { click("addAlarmButton"); fill("7:30", "Work", {{"mon", true}, {"fri", true}}); },
         {"1 alarm 07:30 mon,fri on Work"}},
        {"new timer", [&] { click("addTimerButton"); fill("25m", "Tea"); }, {"1 alarm 07:30 mon,fri on Work", "2 timer 1500s running Tea"}},
        {"edit the alarm", [&] { row("1")->setSelected(true); click("editButton"); fill("06:45", "", {{"mon", false}}); },
         {"1 alarm 06:45 fri on", "2 timer 1500s running Tea"}},
        {"edit the timer", [&] { window.list()->clearSelection(); row("2")->setSelected(true); click("editButton"); fill("1h30m", nullptr); },
         {"1 alarm 06:45 fri on", "2 timer 5400s running Tea"}},
        {"alarm off", [&] { row("1")->setCheckState(0, Qt::Unchecked); }, {"1 alarm 06:45 fri off", "2 timer 5400s running Tea"}},
        {"timer stopped", [&] { row("2")->setCheckState(0, Qt::Unchecked); }, {"1 alarm 06:45 fri off", "2 timer 5400s stopped Tea"}},
        {"timer started", [&] { row("2")->setCheckState(0, Qt::Checked); }, {"1 alarm 06:45 fri off", "2 timer 5400s running Tea"}},
        {"remove the alarm", [&] { window.list()->clearSelection(); row("1")->setSelected(true); click("removeButton"); },
         {"2 timer 5400s running Tea"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        EXPECT_TRUE(!window.dialog() || !window.dialog()->isVisible());  // closed once carried out
        EXPECT_EQ(Stored(file), step.stored);
        ASSERT_TRUE(WaitUntil([&] { return window.list()->topLevelItemCount() == static_cast<int>(step.stored.size()); }));
        ASSERT_TRUE(WaitUntil([&] {
            StoredTimers stored;
            std::string error;
            return file.load(stored, error) && clock.timers() == stored.timers;
        }));
    }
    EXPECT_EQ(row("2")->text(2).toStdString(), "timer");
    EXPECT_EQ(row("2")->checkState(0), Qt::Checked);
}

TEST_F(Window, ABadEntryIsRefusedInTheDialogWithNothingWrittenAndClosingOnlyHidesTheWindow) {
    ASSERT_EQ(RunTimerWords({"alarm", "add", "07:30", "--label", "Work"}, file, AlarmClock::SystemNow()).status, 0);
    ASSERT_EQ(RunTimerWords({"timer", "add", "5m"}, file, AlarmClock::SystemNow()).status, 0);
    ASSERT_TRUE(WaitUntil([&] { return clock.timers().size() == 2; }));
    const std::string before = wfstest::ReadFile(home.timers());
    const ino_t was = Inode(home.timers());
    const struct {
        const char *what;
        std::function<void()> act;
        const char *refusal;
    } cases[] = {
        {"no time", [&] { click("addAlarmButton"); fill("", nullptr); }, "bad time \"\""},
        {"a tab in the label", [&] { click("addAlarmButton"); fill("07:00", "a\tb"); }, "the label contains a control character"},
        {"an alarm edited to no time", [&] { row("1")->setSelected(true); click("editButton"); fill("7", nullptr); }, "bad time \"7\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.act();
        ASSERT_NE(window.dialog(), nullptr);  // still open, saying why
        EXPECT_THAT(window.dialog()->findChild<QLabel *>("error")->text().toStdString(), StartsWith(c.refusal));
        window.dialog()->reject();
        EXPECT_EQ(Inode(home.timers()), was);  // not even rewritten
        EXPECT_EQ(wfstest::ReadFile(home.timers()), before);
    }

    // Closing hides or minimizes the window, never more.
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "with a tray" : "without a tray");
        window.setHidesOnClose(tray);
        window.showNormal();
        ASSERT_TRUE(window.isVisible());
        EXPECT_FALSE(window.close());  // the close is turned down
        EXPECT_EQ(window.isVisible(), !tray);
        EXPECT_EQ(window.isMinimized(), !tray);
    }
}

}  // namespace
}  // namespace hosttest
