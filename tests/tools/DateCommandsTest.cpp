#include "QmfTestSupport.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

const char *const reference = "2021-03-04T05:06:07.891Z";

QStringList wordsFrom(const char *offset, const char *locale = nullptr)
{
    QStringList arguments = words("date words --now") << QString::fromLatin1(reference);
    if (locale)
        arguments << QStringLiteral("--locale") << QString::fromLatin1(locale);
    return arguments << QStringLiteral("--") << QString::fromLatin1(offset);
}

} // namespace

TEST(QmfDateTest, PrintsPinnedOutputOrOneLineErrors)
{
    // --locale installs a translator, which needs an application object.
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "qmf_tool_tests";
        static char *argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    const QString anyText; // null: some message
    expectRuns({
            {words("date parse 2021-03-04T05:06:07.891Z"),
             {},
             0,
             "RFC 3339: 2021-03-04T05:06:07.891Z\nISO 8601: 2021-03-04T05:06:07.89100Z\n"},
            {words("date format 2021-03-04T05:06:07.89100Z"), {}, 0, "2021-03-04T05:06:07.891Z\n"},
            {words("date format --iso8601 2021-03-04T05:06:07.891Z"),
             {},
             0,
             "2021-03-04T05:06:07.89100Z\n"},
            {wordsFrom("-3h"), {}, 0, "3 hours\n"},
            {wordsFrom("+2d"), {}, 0, "2 days\n"},
            {wordsFrom("+3w"), {}, 0, "21 days\n"},
            {words("date words --now 2021-03-04T05:06:07.891Z 2021-03-01T05:06:07.89100Z"),
             {},
             0,
             "3 days\n"},
            {wordsFrom("-3h", "de"), {}, 0, "3 Stunden\n"},
            {wordsFrom("+90s", "de_DE"), {}, 0, "1 Minute\n"},
            {wordsFrom("+0s", "en"), {}, 0, "less than a minute\n"},
            // The translator goes when the command ends.
            {wordsFrom("-3h"), {}, 0, "3 hours\n"},
            failing(words("date parse 2021-03-04T05:06:07Z"), 1,
                    u"qmf: \"2021-03-04T05:06:07Z\" is not a timestamp: expected "
                    "yyyy-MM-ddTHH:mm:ss.SSSZ (RFC 3339) or yyyy-MM-ddTHH:mm:ss.SSSSSZ (ISO "
                    "8601), in UTC\n"_s),
            failing(words("date format 2021-02-29T00:00:00.000Z"), 1,
                    u"qmf: \"2021-02-29T00:00:00.000Z\" is not a timestamp, \"now\" or an offset "
                    "such as -3h or +2d\n"_s),
            failing(words("date format +3y"), 1),
            failing(words("date format +99999999999999999999d"), 1),
            failing(words("date format +4000000d"), 1,
                    u"qmf: +4000000d lies outside the years 0001 to 9999\n"_s),
            failing(words("date words --now yesterday +3h"), 1),
            failing(wordsFrom("+3h", "xx"), 2),
            failing(words("date words"), 2),
            failing(words("date"), 2),
    });
}

TEST(QmfDateTest, MeasuresFromTheClock)
{
    EXPECT_EQ(runQmf(words("date words +3h")).out, QStringLiteral("3 hours\n"));
    EXPECT_EQ(runQmf(words("date format")).out.size(), 25); // "yyyy-MM-ddTHH:mm:ss.SSSZ\n"
    // Without an application object no translator can be installed; English needs none.
    ASSERT_FALSE(QCoreApplication::instance());
    expectRuns({
            failing(wordsFrom("-3h", "de"), 2, u"qmf: --locale needs a QCoreApplication\n"_s),
            {wordsFrom("-3h", "en"), {}, 0, "3 hours\n"},
    });
}
