#include <QCoreApplication>

#include <gtest/gtest.h>

// The main queue, the timers and the deferred blocks deliver through the application's event
// loop, which the tests run on this thread.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
