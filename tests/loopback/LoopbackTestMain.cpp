#include "LoopbackHTTPServer.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The clients in the tests run Qt's event loops on this thread; the server's needs the
// application too.
int main(int argc, char **argv)
{
    // For StopsAfterTheApplicationObjectIsGone: a server outlives the application object, as a
    // static server does at a program's exit, and is stopped after it.
    if (qEnvironmentVariableIsSet("QMF_LOOPBACK_STOP_AFTER_APPLICATION")) {
        LoopbackHTTPServer server;
        {
            QCoreApplication application(argc, argv);
            if (!server.start())
                return 2;
        }
        server.stop();
        return server.isRunning() ? 3 : 0;
    }
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
