#include <QCoreApplication>

#include <gtest/gtest.h>

// The main queue delivers through the application's event loop, which the tests run on this
// thread.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
