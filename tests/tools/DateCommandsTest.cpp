#include "QmfTestSupport.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

using namespace QmfTestSupport;

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

TEST(QmfDateTest, PrintsPinnedOutput)
{
    const struct
    {
        QStringList arguments;
        const char *out;
    } rows[] = {
            {words("date parse 2021-03-04T05:06:07.891Z"),
             "RFC 3339: 2021-03-04T05:06:07.891Z\nISO 8601: 2021-03-04T05:06:07.89100Z\n"},
            {words("date format 2021-03-04T05:06:07.89100Z"), "2021-03-04T05:06:07.891Z\n"},
            {words("date format --iso8601 2021-03-04T05:06:07.891Z"),
             "2021-03-04T05:06:07.89100Z\n"},
            {wordsFrom("-3h"), "3 hours\n"},
            {wordsFrom("+2d"), "2 days\n"},
            {wordsFrom("+3w"), "21 days\n"},
            {words("date words --now 2021-03-04T05:06:07.891Z 2021-03-01T05:06:07.89100Z"),
             "3 days\n"},
            {wordsFrom("-3h", "de"), "3 Stunden\n"},
            {wordsFrom("+90s", "de_DE"), "1 Minute\n"},
            {wordsFrom("+0s", "en"), "less than a minute\n"},
    };
    // --locale installs a translator, which needs an application object.
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "qmf_tool_tests";
        static char *argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        const Outcome outcome = runQmf(row.arguments);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, QString::fromUtf8(row.out));
        EXPECT_EQ(outcome.err, QString());
    }
    // The translator goes when the command ends.
    EXPECT_EQ(runQmf(wordsFrom("-3h")).out, QStringLiteral("3 hours\n"));
}

TEST(QmfDateTest, MeasuresFromTheClock)
{
    EXPECT_EQ(runQmf(words("date words +3h")).out, QStringLiteral("3 hours\n"));
    EXPECT_EQ(runQmf(words("date format")).out.size(), 25); // "yyyy-MM-ddTHH:mm:ss.SSSZ\n"
}

TEST(QmfDateTest, RejectsWhatIsNotAnInstant)
{
    const struct
    {
        QStringList arguments;
        int status;
        const char *err;
    } rows[] = {
            {words("date parse 2021-03-04T05:06:07Z"), 1,
             "qmf: \"2021-03-04T05:06:07Z\" is not a timestamp: expected "
             "yyyy-MM-ddTHH:mm:ss.SSSZ (RFC 3339) or yyyy-MM-ddTHH:mm:ss.SSSSSZ (ISO 8601), in "
             "UTC\n"},
            {words("date parse now"), 1, nullptr},
            {words("date format 2021-02-29T00:00:00.000Z"), 1,
             "qmf: \"2021-02-29T00:00:00.000Z\" is not a timestamp, \"now\" or an offset such as "
             "-3h or +2d\n"},
            {words("date format +3y"), 1, nullptr},
            {words("date format +99999999999999999999d"), 1, nullptr},
            {words("date format +4000000d"), 1,
             "qmf: +4000000d lies outside the years 0001 to 9999\n"},
            {words("date words --now yesterday +3h"), 1, nullptr},
            {wordsFrom("+3h", "xx"), 2, nullptr},
            {words("date words"), 2, nullptr},
            {words("date words +1h +2h"), 2, nullptr},
            {words("date"), 2, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        const Outcome outcome = runQmf(row.arguments);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.out, QString());
        if (row.err)
            EXPECT_EQ(outcome.err, QString::fromUtf8(row.err));
        else
            EXPECT_TRUE(outcome.err.startsWith(QStringLiteral("qmf: ")) || row.status == 2)
                    << outcome.err.toStdString();
    }
}

TEST(QmfDateTest, TourWordsFixedOffsets)
{
    const Outcome tour = runQmf(words("tour"));
    ASSERT_EQ(tour.status, 0);
    const qsizetype start = tour.out.indexOf(QStringLiteral(". Dates\n"));
    ASSERT_GE(start, 0);
    const QString section = tour.out.mid(start);
    for (const char *line :
         {"    2021-03-04T05:06:07.89100Z     -> ISO 8601, as RFC 3339 2021-03-04T05:06:07.891Z\n",
          "    2021-03-04T05:06:07Z           -> not a timestamp\n", "    -44m    44 minutes\n",
          "    -1000d  3 years\n"}) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(section.contains(QString::fromUtf8(line))) << section.toStdString();
    }
}
