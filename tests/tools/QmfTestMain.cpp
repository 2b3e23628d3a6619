#include <QCoreApplication>

#include <gtest/gtest.h>

// Qt's network stack, which qmf http and the loopback server use, needs the application object,
// as qmf's own main() makes it.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
