// The main of the test programs that run inside one Qt application: QtDBus delivers replies and
// signals through its event loop, the clock's descriptor too, and an application object may be
// made only once per process. Built with WFS_TEST_WIDGETS, it is a QApplication (offscreen), for
// tests that make widgets.
#include <QCoreApplication>
#if defined(WFS_TEST_WIDGETS)
#include <QApplication>
#endif

#include <gtest/gtest.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char **argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    int status = 0;
    {
#if defined(WFS_TEST_WIDGETS)
        QApplication app(argc, argv);
#else
        QCoreApplication app(argc, argv);
#endif
        status = RUN_ALL_TESTS();
    }
#if defined(__SANITIZE_ADDRESS__)
    // As in tidemark's main: the leak check looks at the program before the exit tears down Qt's
    // D-Bus thread, which can leave that thread's event data behind when a message arrives as it ends.
    __lsan_do_leak_check();
#endif
    return status;
}
