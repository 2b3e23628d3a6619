#include <QCoreApplication>

#include <gtest/gtest.h>

// The clients in the tests run Qt's event loops on this thread; the server's needs the
// application too.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
