#include "QmfTestSupport.h"

#include <gtest/gtest.h>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

// The kernel's own answers are tested in namespaces (tests/platform); here the loopback address,
// which every network namespace routes locally once lo is up.
TEST(QmfReachTest, PrintsTheAnswerAndTheFlags)
{
    const QByteArray loopback = "reachable (kSCNetworkReachabilityFlagsReachable, "
                                "kSCNetworkReachabilityFlagsIsLocalAddress, "
                                "kSCNetworkReachabilityFlagsIsDirect)\n";
    QStringList emptyName = words("reach");
    emptyName << u""_s;
    QStringList longName = words("reach");
    longName << QString(300, u'a');
    expectRuns({
            {words("reach 127.0.0.1"), {}, 0, loopback},
            // With --count 0 the watch ends after the current answer.
            {words("reach --watch --count 0 127.0.0.1"), {}, 0, loopback},
            // Names that cannot be looked up are not reachable; the status says so.
            {emptyName, {}, 1, "not reachable (no flags)\n"},
            {longName, {}, 1, "not reachable (no flags)\n"},
            failing(words("reach 127.0.0.1 127.0.0.2"), 2,
                    u"qmf: reach takes at most one HOST or ADDRESS\n"_s),
            failing(words("reach --count 1 127.0.0.1"), 2,
                    u"qmf: --count needs --watch and a number of changes (0 or more)\n"_s),
            failing(words("reach -w --count 1.5"), 2,
                    u"qmf: --count needs --watch and a number of changes (0 or more)\n"_s),
            // Read as 0 by the option parser alone, which would end the watch at once.
            failing(words("reach -w --count abc"), 2,
                    u"qmf: --count needs --watch and a number of changes (0 or more)\n"_s),
            failing(words("reach -w --count nan"), 2,
                    u"qmf: --count needs --watch and a number of changes (0 or more)\n"_s),
    });
}

// A watch whose lines cannot be printed ends at once instead of watching for ever.
TEST(QmfReachTest, AWatchWithNowhereToPrintEnds)
{
    QFile full(u"/dev/full"_s);
    ASSERT_TRUE(full.open(QIODevice::WriteOnly));
    const auto [status, err] = runQmfWritingTo(words("reach --watch 127.0.0.1"), full);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, u"qmf: standard output: No space left on device\n"_s);
}
