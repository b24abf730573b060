// tidemark: the alarm application.
#include "HostLog.h"

#include <QCoreApplication>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tidemark");
    return app.exec();
}
