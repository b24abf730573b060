// The shared bus fixture itself: nothing of it outlives the test process. (What it serves, every
// test that uses it shows.)
#include <PrivateBuses.h>

namespace hosttest {
namespace {

using wfstest::PrivateBuses;

// A test process that dies without its destructors takes the fixture's daemons along. The test
// process here is this test again, started afresh (a fork would inherit Qt's D-Bus thread
// without the thread): it reports its system bus on descriptor 3 and waits to be killed.
TEST(PrivateBuses, ItsDaemonsDieWithTheTestProcess) {
    if (wfstest::IsTestChild()) {
        // Not handed on to the daemon, or the parent would never see the end of the report.
        ASSERT_EQ(::fcntl(3, F_SETFD, FD_CLOEXEC), 0);
        PrivateBuses buses({.sessionBus = false});
        const std::string address = buses.systemAddress() + "\n";
        ASSERT_EQ(::write(3, address.data(), address.size()), static_cast<ssize_t>(address.size()));
        ::close(3);
        ::pause();
        return;
    }
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    wfstest::Child child = wfstest::Child::Exec(
        {wfstest::SelfPath(), std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
        wfstest::ChildSetup().Env("WFS_TEST_CHILD", "1").Fd(3, writeEnd.get()));
    writeEnd.reset();
    const std::string address = wfstest::ReadAll(readEnd.get());
    ASSERT_EQ(address.rfind("unix:path=", 0), 0u) << address;
    const QString bus = QString::fromStdString(address.substr(0, address.size() - 1));
    // Only the test process: the daemon is in a process group of its own.
    ::kill(child.pid(), SIGKILL);
    child.Wait();
    // The daemon is gone once nothing answers on its socket.
    EXPECT_TRUE(wfstest::WaitFor([&] {
        const bool answers = QDBusConnection::connectToBus(bus, "after").isConnected();
        QDBusConnection::disconnectFromBus("after");
        return !answers;
    }, std::chrono::seconds(10))) << address;
}

}  // namespace
}  // namespace hosttest
