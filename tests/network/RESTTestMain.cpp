#include <QCoreApplication>

#include <gtest/gtest.h>

// Qt's network stack, which the request operations use on their threads, needs the application
// object.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
