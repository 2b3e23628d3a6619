#include "dates/QMRelativeDateFormatter.h"
#include "dates/RelativeDateString.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTranslator>

using namespace Qt::StringLiterals;
using RelativeDateString::distanceOfTimeInWords;

namespace {

const QDateTime reference = QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);

constexpr qint64 second = 1000;
constexpr qint64 minute = 60 * second;
constexpr qint64 hour = 60 * minute;
constexpr qint64 day = 24 * hour;

struct WordsRow
{
    const char *name;
    qint64 msecs;
    const char *words;
};

// One row per boundary of the table, and the rounding of the quotients.
const WordsRow wordsRows[] = {
        {"same instant", 0, "less than a minute"},
        {"59 s", 59 * second, "less than a minute"},
        {"59.999 s", 60 * second - 1, "less than a minute"},
        {"60 s", 60 * second, "1 minute"},
        {"119 s", 119 * second, "1 minute"},
        {"120 s", 2 * minute, "2 minutes"},
        // Minutes are cut, not rounded.
        {"44 min 59 s", 45 * minute - second, "44 minutes"},
        {"45 min", 45 * minute, "1 hour"},
        {"89 min", 89 * minute, "1 hour"},
        {"89 min 59 s", 90 * minute - second, "1 hour"},
        {"90 min", 90 * minute, "2 hours"},
        {"3 h 29 min", 209 * minute, "3 hours"},
        {"3.5 h rounds up", 210 * minute, "4 hours"},
        {"23 h 59 min", 1439 * minute, "24 hours"},
        {"24 h", 1440 * minute, "1 day"},
        {"41 h 59 min", 2519 * minute, "1 day"},
        {"42 h (2520 min)", 2520 * minute, "2 days"},
        {"2.5 days round up", 3600 * minute, "3 days"},
        {"29 d 23 h 59 min", 43199 * minute, "30 days"},
        {"30 d (43200 min)", 43200 * minute, "1 month"},
        {"44 d 23 h 59 min", 64799 * minute, "1 month"},
        {"45 d (64800 min)", 64800 * minute, "2 months"},
        {"364 d", 364 * day, "12 months"},
        {"365 d (525600 min)", 525600 * minute, "1 year"},
        {"549 d 23 h 59 min", 791999 * minute, "1 year"},
        {"550 d (792000 min)", 792000 * minute, "2 years"},
        {"1000 d", 1000 * day, "3 years"},
        {"2.5 years round up", 1314000 * minute, "3 years"},
        // The quotient is rounded as a float: 2 s short of 2.5 years is 2.5 in single precision
        // (rounding the double would give 2); 10 s short is not.
        {"2.5 years less 2 s", 1314000 * minute - 2 * second, "3 years"},
        {"2.5 years less 10 s", 1314000 * minute - 10 * second, "2 years"},
        {"1000 years", 365000 * day, "1000 years"},
};

// A host translation that answers every lookup with one text, as a translator's file might.
class FixedTranslator : public QTranslator
{
public:
    explicit FixedTranslator(QString text)
        : m_text(std::move(text))
    { }
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *, const char *, int) const override
    {
        return m_text;
    }

private:
    QString m_text;
};

} // namespace

TEST(RelativeDateWordsTest, TableBoundariesPastAndFuture)
{
    for (const WordsRow &row : wordsRows) {
        SCOPED_TRACE(row.name);
        const QString words = QString::fromUtf8(row.words);
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-row.msecs), reference), words);
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(row.msecs), reference), words);
    }
    EXPECT_TRUE(distanceOfTimeInWords(QDateTime(), reference).isNull());
    EXPECT_TRUE(distanceOfTimeInWords(reference, QDateTime()).isNull());
}

TEST(RelativeDateWordsTest, MeasuresFromNow)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    EXPECT_EQ(distanceOfTimeInWords(now.addSecs(-3 * 3600)), u"3 hours"_s);
    EXPECT_EQ(distanceOfTimeInWords(now.addSecs(3 * 3600)), u"3 hours"_s);
    EXPECT_EQ(distanceOfTimeInWords(now.addDays(-45)), u"2 months"_s);
}

TEST(RelativeDateWordsTest, GermanTranslationChangesTheWordsAndKeepsTheNumbers)
{
    QTranslator german;
    ASSERT_TRUE(german.load(u"qmfoundation_de"_s, QStringLiteral(QMF_TRANSLATIONS_DIR)));
    ASSERT_TRUE(QCoreApplication::installTranslator(&german));
    const std::pair<qint64, const char *> rows[] = {
            {30 * second, "weniger als eine Minute"},
            {90 * second, "1 Minute"},
            {44 * minute, "44 Minuten"},
            {60 * minute, "1 Stunde"},
            {5 * hour, "5 Stunden"},
            {30 * hour, "1 Tag"},
            {12 * day, "12 Tage"},
            {40 * day, "1 Monat"},
            {100 * day, "3 Monate"},
            {400 * day, "1 Jahr"},
            {1000 * day, "3 Jahre"},
    };
    for (const auto &[msecs, words] : rows) {
        SCOPED_TRACE(words);
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-msecs), reference),
                  QString::fromUtf8(words));
    }
    QCoreApplication::removeTranslator(&german);
    EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(-5 * hour), reference), u"5 hours"_s);
}

// A translation is data: only its number conversion is filled, whatever else it holds.
TEST(RelativeDateWordsTest, TranslationsFillOnlyTheirNumber)
{
    const std::pair<QString, QString> rows[] = {
            {u"vor %li Tagen"_s, u"vor 12 Tagen"_s},
            {u"%ld days"_s, u"12 days"_s},
            {u"%d/%i"_s, u"12/12"_s},
            {u"%li%% of a year"_s, u"12% of a year"_s},
            {u"%s %n %@ %"_s, u"%s 12 %@ %"_s}, // "%n" is Qt's own plural placeholder
            {u"no number"_s, u"no number"_s},
    };
    for (const auto &[translation, words] : rows) {
        SCOPED_TRACE(translation.toStdString());
        FixedTranslator translator(translation);
        ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
        EXPECT_EQ(distanceOfTimeInWords(reference.addMSecs(12 * day), reference), words);
        QCoreApplication::removeTranslator(&translator);
    }
}

TEST(RelativeDateFormatterTest, WordsTodayYesterdayAndTomorrowInTheLocale)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const struct
    {
        QLocale locale;
        QString today, yesterday, tomorrow, march4, march5, time;
    } rows[] = {
            {QLocale(QLocale::English, QLocale::UnitedStates), u"today"_s, u"yesterday"_s,
             u"tomorrow"_s, u"March 4, 2021"_s, u"March 5, 2021"_s, u"5:06"_s},
            {QLocale(QLocale::German, QLocale::Germany), u"heute"_s, u"gestern"_s, u"morgen"_s,
             u"4. März 2021"_s, u"5. März 2021"_s, u"05:06"_s},
    };
    const QTimeZone utc = QTimeZone::utc();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.locale.name().toStdString());
        const QMRelativeDateFormatter date(QMRelativeDateFormatter::TimeStyle::None, row.locale,
                                           utc);
        EXPECT_EQ(date.stringFromDate(now), row.today);
        EXPECT_EQ(date.stringFromDate(now.addDays(-1)), row.yesterday);
        EXPECT_EQ(date.stringFromDate(now.addDays(1)), row.tomorrow);
        EXPECT_EQ(date.stringFromDate(reference), row.march4);
        EXPECT_TRUE(date.stringFromDate(QDateTime()).isNull());
        // The day is the formatter's zone's: 23:30 UTC is the next morning in India.
        const QMRelativeDateFormatter kolkata(QMRelativeDateFormatter::TimeStyle::None, row.locale,
                                              QTimeZone("Asia/Kolkata"));
        EXPECT_EQ(kolkata.stringFromDate(QDateTime(QDate(2021, 3, 4), QTime(23, 30), Qt::UTC)),
                  row.march5);

        const QMRelativeDateFormatter withTime(QMRelativeDateFormatter::TimeStyle::Short,
                                               row.locale, utc);
        const QString today = withTime.stringFromDate(now);
        EXPECT_TRUE(today.startsWith(row.today)) << today.toStdString();
        const QString march4 = withTime.stringFromDate(reference);
        EXPECT_TRUE(march4.contains(row.march4) && march4.contains(row.time))
                << march4.toStdString();
    }
}

TEST(RelativeDateFormatterTest, SharedFormattersFollowTheUsersLocaleAndZone)
{
    for (const QDateTime &date : {reference, QDateTime::currentDateTimeUtc().addDays(-1)}) {
        EXPECT_EQ(QMRelativeDateFormatter::longDateFormatter().stringFromDate(date),
                  QMRelativeDateFormatter(QMRelativeDateFormatter::TimeStyle::None)
                          .stringFromDate(date));
        EXPECT_EQ(QMRelativeDateFormatter::longDateShortTimeFormatter().stringFromDate(date),
                  QMRelativeDateFormatter(QMRelativeDateFormatter::TimeStyle::Short)
                          .stringFromDate(date));
    }
    EXPECT_EQ(&QMRelativeDateFormatter::longDateFormatter(),
              &QMRelativeDateFormatter::longDateFormatter());
    EXPECT_EQ(QMRelativeDateFormatter::longDateFormatter().timeStyle(),
              QMRelativeDateFormatter::TimeStyle::None);
}
