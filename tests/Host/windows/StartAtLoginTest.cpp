// "Start at login" in the General pane: the check box writes and removes the autostart entry and
// shows whether it is there; an entry that cannot be written says why. And the Exec line's quoting,
// which a session manager parses, for program paths a relocated install may have.
#include "../HostTestSupport.h"

#include <AutostartEntry.h>
#include <GeneralPreferencePane.h>

#include <QCheckBox>
#include <QLabel>

namespace hosttest {
namespace {

using tidemark::AutostartEntry;
using tidemark::GeneralPreferencePane;

TEST(StartAtLogin, TheCheckBoxWritesAndRemovesTheEntry) {
    Home home;
    const std::string program = "/opt/Tide mark/tidemark";
    const std::string folder = home.dir / "config/autostart", entry = folder + "/org.tidemark.Tidemark.desktop";
    ASSERT_EQ(AutostartEntry::UserEntryPath(), entry);
    GeneralPreferencePane pane(AutostartEntry(entry, program));
    NSView *view = pane.preferencePaneView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(pane.preferencePaneView(), view);
    auto *box = view->findChild<QCheckBox *>("startAtLogin");
    auto *problem = view->findChild<QLabel *>("startAtLoginProblem");
    pane.willDisplayPreferencePane();
    EXPECT_FALSE(box->isChecked());

    box->click();  // on: the folder is made, private, and the entry put in place whole
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(problem->text(), "");
    EXPECT_EQ(wfstest::ReadFile(entry),
              "[Desktop Entry]\nType=Application\nName=Tidemark\nComment=Alarms and timers that wake the computer\n"
              "Icon=org.tidemark.Tidemark\nTryExec=/opt/Tide mark/tidemark\nExec=\"/opt/Tide mark/tidemark\"\n"
              "Terminal=false\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(wfstest::ModeOf(folder), 0700u);
    EXPECT_EQ(wfstest::ModeOf(entry), 0644u);
    EXPECT_EQ(wfstest::FolderEntries(folder), std::vector<std::string>{"org.tidemark.Tidemark.desktop"});  // no temporary left

    box->click();  // off
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(std::filesystem::exists(entry));

    // Written elsewhere (or removed), the entry shows as it is the next time the pane is shown.
    wfstest::WriteFile(entry, "[Desktop Entry]\n");
    pane.willDisplayPreferencePane();
    EXPECT_TRUE(box->isChecked());
    std::filesystem::remove(entry);
    EXPECT_EQ(AutostartEntry(entry, "/x").remove(), 0);  // none there: nothing to do
    // A path no Exec line can carry is refused, and nothing is written.
    EXPECT_EQ(AutostartEntry(entry, "relative/tidemark").write(), EINVAL);
    EXPECT_FALSE(std::filesystem::exists(entry));

    // A folder that cannot be made: the box stays off and says why.
    std::filesystem::remove_all(folder);
    wfstest::WriteFile(folder, "not a folder");
    pane.willDisplayPreferencePane();
    box->click();
    EXPECT_FALSE(box->isChecked());
    EXPECT_THAT(problem->text().toStdString(), StartsWith("Could not write " + entry + ": Not a directory"));
}

// Plain paths and spaces: the entry the check box writes above.
TEST(StartAtLogin, TheExecLineQuotesTheProgramAsSessionManagersParseIt) {
    const struct {
        const char *program;
        std::optional<std::string> exec;  // as it stands in the file
    } cases[] = {
        // Inside the quotes " ` $ \ take a backslash, and the file doubles every backslash again;
        // a percent sign is doubled so that it is no field code.
        {"/x/a\"b`c$d\\e%f", "\"/x/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e%%f\""},
        {"tidemark", std::nullopt},
        {"", std::nullopt},
        {"/x/two\nlines", std::nullopt},
    };
    for (const auto &c : cases) EXPECT_EQ(AutostartEntry::ExecArgument(c.program), c.exec) << c.program;
}

}  // namespace
}  // namespace hosttest
