#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

struct HandlerReset
{
    ~HandlerReset() { QMUncaughtExceptions::setHandler({}); }
};

TEST(UncaughtExceptionsTest, InstalledHandlerReceivesTheExceptionAndWhereItWasCaught)
{
    HandlerReset reset;
    QString seenWhere;
    QString seenReason;
    QMUncaughtExceptions::setHandler([&](std::exception_ptr exception, const QString &where) {
        seenWhere = where;
        try {
            std::rethrow_exception(exception);
        } catch (const QMInternalInconsistencyException &caught) {
            seenReason = caught.reason();
        } catch (const std::exception &caught) {
            seenReason = QString::fromUtf8(caught.what());
        }
    });
    const bool returned = QMUncaughtExceptions::invokeGuarded("a test block", [] {
        throw QMInternalInconsistencyException(QStringLiteral("broken"));
    });
    EXPECT_FALSE(returned);
    EXPECT_EQ(seenWhere, QStringLiteral("a test block"));
    EXPECT_EQ(seenReason, QStringLiteral("broken"));
    EXPECT_TRUE(QMUncaughtExceptions::invokeGuarded("a quiet block", [] {}));

    // Another thread reaches the same handler.
    seenWhere.clear();
    std::thread([] {
        QMUncaughtExceptions::invokeGuarded("a worker", [] { throw std::runtime_error("x"); });
    }).join();
    EXPECT_EQ(seenWhere, QStringLiteral("a worker"));
    EXPECT_EQ(seenReason, QStringLiteral("x"));
}

TEST(UncaughtExceptionsTest, DescriptionsNameTheExceptionAndItsReason)
{
    const QString ours = QMUncaughtExceptions::describe(
            std::make_exception_ptr(QMInternalInconsistencyException(QStringLiteral("why"))));
    EXPECT_TRUE(ours.startsWith(QStringLiteral("QMInternalInconsistencyException <0x")))
            << ours.toStdString();
    EXPECT_TRUE(ours.contains(QStringLiteral("reason: why"))) << ours.toStdString();
    const QString foreign
            = QMUncaughtExceptions::describe(std::make_exception_ptr(std::runtime_error("disk")));
    EXPECT_TRUE(foreign.contains(QStringLiteral("reason: disk"))) << foreign.toStdString();
    EXPECT_EQ(QMUncaughtExceptions::describe(std::make_exception_ptr(42)),
              QStringLiteral("an exception that is not a std::exception"));
}

TEST(UncaughtExceptionsDeathTest, DefaultHandlerWritesTheDescriptionAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(QMUncaughtExceptions::invokeGuarded(
                         "a block on the main queue",
                         [] { throw QMInternalInconsistencyException(QStringLiteral("lost")); }),
                 "Terminating app due to uncaught exception \\(caught in a block on the main "
                 "queue\\):\n.*reason: lost");
    // A handler that throws is not called again: the process ends.
    EXPECT_DEATH(
            {
                QMUncaughtExceptions::setHandler(
                        [](std::exception_ptr, const QString &) { throw 1; });
                QMUncaughtExceptions::invokeGuarded("a timer", [] { throw 2; });
            },
            "exception thrown by the uncaught-exception handler \\(caught in a timer\\)");
}

} // namespace
