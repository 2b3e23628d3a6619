// The desktop keyring's calls through their futures when the session bus takes the connection and
// never answers: a call ends at its deadline with the time-out's error, and a cancelled one ends at
// once, as cancelled. A program of its own (qmf_keychain_stalled_tests): each test points the
// session bus address at a silent bus of its own before the library reaches the bus.

#include "KeychainTestSupport.h"
#include "support/SilentBus.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdlib>
#include <functional>

using namespace Qt::Literals::StringLiterals;
using namespace KeychainTestSupport;

namespace {

// A silent bus that is the session bus of this process while it lives.
class StalledSessionBus
{
public:
    StalledSessionBus()
        : m_bus(m_dir.filePath(u"bus"_s))
    {
        ::setenv("DBUS_SESSION_BUS_ADDRESS",
                 QFile::encodeName(u"unix:path="_s + m_dir.filePath(u"bus"_s)).constData(), 1);
    }
    ~StalledSessionBus() { ::unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

    TestSupport::SilentBus &bus() { return m_bus; }

private:
    QTemporaryDir m_dir;
    TestSupport::SilentBus m_bus;
};

// Calls of the default keychain, each started and reduced to its QFuture<void>.
struct Call
{
    const char *name;
    std::function<QFuture<void>()> start;
};

const QList<Call> &calls()
{
    static const QList<Call> all {
            {"find a generic password",
             [] {
                 return QFuture<void>(
                         QMKeychain::defaultKeychain()->findGenericPasswordItemForAccountAsync(
                                 u"joe"_s, u"mail"_s));
             }},
            {"list the internet passwords",
             [] {
                 return QFuture<void>(
                         QMKeychain::defaultKeychain()->findAllInternetPasswordsAsync());
             }},
            {"add a generic password",
             [] {
                 return QFuture<void>(
                         QMKeychain::defaultKeychain()->addGenericPasswordWithAccountAsync(
                                 u"joe"_s, u"mail"_s, u"pw"_s));
             }},
            {"save an item",
             [] {
                 const auto item = QMGenericPasswordKeychainItem::genericPasswordItemWithKeychain(
                         nullptr, u"joe"_s, u"mail"_s, u"pw"_s);
                 return QFuture<void>(item->saveAsync());
             }},
    };
    return all;
}

} // namespace

// The deadline of QMKeychain::setTimeout() reaches the future: errSecNotAvailable, timed out.
TEST(KeychainStalledService, EndsAtTheDeadlineThroughTheFuture)
{
    StalledSessionBus session;
    ASSERT_TRUE(session.bus().isListening());
    const TimeoutScope timeout(std::chrono::milliseconds(200));
    for (const Call &call : calls()) {
        SCOPED_TRACE(call.name);
        const QFuture<void> future = call.start();
        ASSERT_TRUE(waitFor(future));
        const QMError error = QMAsync::errorOf(future);
        EXPECT_EQ(statusOf(error), errSecNotAvailable);
        EXPECT_EQ(error.localizedFailureReason(),
                  u"The desktop keyring did not answer within 200 ms (timed out)."_s);
    }
    EXPECT_GE(session.bus().connections(), 1u);
}

// A cancel abandons the request that waits for the bus: the future ends long before the deadline,
// as cancelled, with no error; the next call still reaches the bus and ends at its deadline.
TEST(KeychainStalledService, CancellingEndsAStalledCallAsCancelled)
{
    StalledSessionBus session;
    ASSERT_TRUE(session.bus().isListening());
    for (const Call &call : calls()) {
        SCOPED_TRACE(call.name);
        QFuture<void> future;
        {
            // Far longer than the wait for the future: only the cancel can end the call in time.
            const TimeoutScope timeout(std::chrono::minutes(10));
            const size_t before = session.bus().connections();
            future = call.start();
            // The call is under way once it has connected to the bus.
            ASSERT_TRUE(session.bus().waitForConnections(before + 1));
            future.cancel();
            ASSERT_TRUE(waitFor(future)) << "the cancel did not end the call";
        }
        EXPECT_TRUE(future.isCanceled());
        EXPECT_TRUE(QMAsync::errorOf(future).isNull())
                << qPrintable(QMAsync::errorOf(future).localizedFailureReason());
    }
    const TimeoutScope timeout(std::chrono::milliseconds(100));
    const QFuture<QList<QMGenericPasswordKeychainItem::Ptr>> after
            = QMKeychain::defaultKeychain()->findAllGenericPasswordsAsync();
    ASSERT_TRUE(waitFor(after));
    EXPECT_EQ(statusOf(QMAsync::errorOf(after)), errSecNotAvailable);
}
