// The package unpacked into a folder of its own, run as installed: the program finds its
// libraries, its Info.plist and its plug-in beside itself (TIDEMARK_PLUGIN_PATH unset), and a sleep
// schedules the wake-up through the plug-in's copy of the packaged helper tool; and the packaged
// polkit action as the distribution's polkitd reads it. Real daemons on private buses: the host
// tests' logind, and polkitd in a private mount namespace that shows it only the package's action.
#include "PackageFiles.h"

#include <PrivateBuses.h>
#include <AlarmAhead.h>
#include <UserHome.h>

#include <QDBusArgument>
#include <QDBusConnectionInterface>

#include <sys/mount.h>

namespace {

using wfstest::PrivateBuses;
using wfstest::WaitUntil;
using packagetest::UnpackedPackage;

// polkitd's EnumerateActions for `locale`: the description and message of `action`.
std::pair<std::string, std::string> ActionTexts(QDBusConnection &bus, const QString &action, const QString &locale) {
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                                                       "org.freedesktop.PolicyKit1.Authority", "EnumerateActions");
    call << locale;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    if (reply.arguments().size() != 1) return {};
    // a(ssssssuuua{ss}): id, description, message, vendor, vendor URL, icon, three defaults, annotations.
    const QDBusArgument actions = reply.arguments().at(0).value<QDBusArgument>();
    std::pair<std::string, std::string> found;
    actions.beginArray();
    while (!actions.atEnd()) {
        QString id, description, message, vendor, url, icon;
        uint any = 0, inactive = 0, active = 0;
        QMap<QString, QString> annotations;
        actions.beginStructure();
        actions >> id >> description >> message >> vendor >> url >> icon >> any >> inactive >> active >> annotations;
        actions.endStructure();
        if (id == action) found = {description.toStdString(), message.toStdString()};
    }
    actions.endArray();
    return found;
}

TEST(InstalledPackage, UnpackedProgramSchedulesTheWakeUpOnSleepAndPolkitdReadsThePackagedAction) {
    WFS_REQUIRE_ROOT();
    UnpackedPackage unpacked;
    ASSERT_TRUE(unpacked.unpacked());
    PrivateBuses buses({.logind = true, .userManager = true});
    wfstest::UserHome home;
    const std::string tidemark = unpacked / "usr/bin/tidemark";
    const wfstest::AlarmAhead alarm = wfstest::AlarmTwoHoursAhead();
    const wfstest::Outcome add = wfstest::RunProgram({tidemark, "alarm", "add", alarm.hhmm});
    ASSERT_TRUE(add.Exited(0)) << add;

    wfstest::RunningProgram host({tidemark, "--headless"});
    ASSERT_TRUE(host.WaitFor("tidemark: running without a window")) << host.text();
    const std::string &text = host.text();
    ASSERT_TRUE(buses.waitForInhibitors(1)) << text;

    buses.emitPrepareForSleep(true);
    // The lock goes once the will-sleep observers have returned, the wake-up scheduled.
    ASSERT_TRUE(buses.waitForInhibitors(0)) << text;
    EXPECT_EQ(home.scheduledWakes(), std::vector<double>{static_cast<double>(alarm.ring)}) << text;
    EXPECT_EQ(wfstest::ReadFile(home.wakeAlarm()), std::to_string(alarm.ring));

    host.Stop();

    // polkitd started as root becomes its own user before it connects: that user must reach the
    // bus's socket through the fixture's private folder ("unix:path=<folder>/system-bus,...").
    const std::string address = buses.systemAddress();
    const std::string socket = address.substr(address.find('=') + 1, address.find(',') - address.find('=') - 1);
    ASSERT_EQ(::chmod(std::filesystem::path(socket).parent_path().c_str(), 0711), 0) << socket;
    // polkitd reads its actions from a fixed folder; in its namespace that folder is the package's.
    const std::string actions = unpacked / "usr/share/polkit-1/actions";
    const wfs::UniqueFd quiet(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const auto ownActions = [actions] {
        return wfstest::EnterPrivateMountNamespace() && ::mount(actions.c_str(), "/usr/share/polkit-1/actions", nullptr, MS_BIND, nullptr) == 0;
    };
    const wfstest::Child polkitd = wfstest::Child::Exec(
        {"/usr/lib/polkit-1/polkitd", "--no-debug"}, wfstest::ChildSetup().Fd(1, quiet.get()).Fd(2, quiet.get()).Before(ownActions));
    QDBusConnection bus = buses.connectSystem("package-polkit");
    ASSERT_TRUE(WaitUntil([&] { return bus.interface()->isServiceRegistered("org.freedesktop.PolicyKit1").value(); }))
        << "polkitd did not come up";

    const wfstest::Outcome pkaction =
        wfstest::RunProgram({"/usr/bin/pkaction", "--verbose", "--action-id", "org.tidemark.wakefromsleep.unlock"});
    ASSERT_TRUE(pkaction.Exited(0)) << pkaction;
    for (const char *line : {"  description:       Unlock the Wake & Startup settings\n",
                             "  message:           Authentication is required to change whether this computer wakes for alarms\n",
                             "  vendor:            Tidemark\n", "  implicit any:      auth_admin_keep\n",
                             "  implicit inactive: auth_admin_keep\n", "  implicit active:   auth_admin_keep\n"}) {
        EXPECT_NE(pkaction.out.find(line), std::string::npos) << line << "in:\n" << pkaction.out;
    }
    // The German texts, for a German-speaking administrator's prompt (asked directly, since the
    // machine may have no German locale for pkaction to ask with).
    EXPECT_EQ(ActionTexts(bus, "org.tidemark.wakefromsleep.unlock", "de_DE.UTF-8"),
              std::make_pair(std::string("Die Einstellungen „Aufwachen & Starten“ entsperren"),
                             std::string("Um zu ändern, ob dieser Computer für Wecker aufwacht, ist eine Authentifizierung nötig")));
}

}  // namespace
