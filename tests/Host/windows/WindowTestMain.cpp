// The window tests run inside one QApplication, offscreen: widgets need it, and QtDBus and the
// clock's descriptor deliver through its event loop.
#include <QApplication>

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
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
#if defined(__SANITIZE_ADDRESS__)
    // As in tidemark's main: the leak check looks at the program before the exit tears down Qt's
    // D-Bus thread, which can leave that thread's event data behind when a message arrives as it ends.
    __lsan_do_leak_check();
#endif
    return status;
}
