#include "errors/QMEmptiness.h"
#include "errors/QMEquality.h"
#include "errors/QMNull.h"

#include <gtest/gtest.h>

#include <QSet>

TEST(EmptinessTest, TypedTests)
{
    EXPECT_TRUE(QMStringIsEmpty(QString()));
    EXPECT_TRUE(QMStringIsEmpty(QStringLiteral("")));
    EXPECT_FALSE(QMStringIsEmpty(QStringLiteral(" \n")));
    EXPECT_TRUE(QMStringIsEmptyOrWhiteSpaces(QStringLiteral(" \n\t\r\n ")));
    EXPECT_TRUE(QMStringIsEmptyOrWhiteSpaces(QString()));
    EXPECT_FALSE(QMStringIsEmptyOrWhiteSpaces(QStringLiteral(" x ")));

    EXPECT_TRUE(QMURLIsEmpty(QUrl()));
    EXPECT_FALSE(QMURLIsEmpty(QUrl(QStringLiteral("https://example.com/"))));
    EXPECT_TRUE(QMDataIsEmpty(QByteArray()));
    EXPECT_TRUE(QMDataIsEmpty(QByteArray("")));
    EXPECT_FALSE(QMDataIsEmpty(QByteArray("\0", 1)));

    EXPECT_TRUE(QMArrayIsEmpty(QStringList()));
    EXPECT_FALSE(QMArrayIsEmpty(QList<int> {1}));
    EXPECT_TRUE(QMArrayIsEmpty(std::optional<QList<int>>()));
    EXPECT_TRUE(QMDictionaryIsEmpty(QVariantMap()));
    EXPECT_FALSE(QMDictionaryIsEmpty(QVariantMap {{QStringLiteral("k"), 1}}));
    EXPECT_TRUE(QMSetIsEmpty(QSet<int>()));
    EXPECT_FALSE(QMSetIsEmpty(std::optional<QSet<int>>(QSet<int> {1})));
}

TEST(EmptinessTest, VariantLengthThenCountRule)
{
    struct Row
    {
        const char *name;
        QVariant value;
        bool empty;
    };
    const Row rows[] = {
            {"absent", QVariant(), true},
            {"null marker", QMNull(), true},
            {"empty text", QVariant(QStringLiteral("")), true},
            {"null text", QVariant(QString()), true},
            {"text", QVariant(QStringLiteral("a")), false},
            {"empty bytes", QVariant(QByteArray()), true},
            {"bytes", QVariant(QByteArray("a")), false},
            {"empty list", QVariant(QVariantList()), true},
            {"list", QVariant(QVariantList {1}), false},
            {"empty string list", QVariant(QStringList()), true},
            {"empty map", QVariant(QVariantMap()), true},
            {"map", QVariant(QVariantMap {{QStringLiteral("k"), 1}}), false},
            {"zero", QVariant(0), false},
            {"false", QVariant(false), false},
            {"double", QVariant(0.0), false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(QMIsEmpty(row.value), row.empty) << row.name;
        EXPECT_EQ(QMIsNotEmpty(row.value), !row.empty) << row.name;
    }

    EXPECT_TRUE(QMIsEmptyString(QVariant()));
    EXPECT_TRUE(QMIsEmptyString(QMNull()));
    EXPECT_TRUE(QMIsEmptyString(QVariant(QStringLiteral(""))));
    EXPECT_FALSE(QMIsEmptyString(QVariant(QStringLiteral("x"))));
    // An empty list is empty but not an empty string.
    EXPECT_FALSE(QMIsEmptyString(QVariant(QVariantList())));
    EXPECT_TRUE(QMIsNotEmptyString(QVariant(QStringLiteral("x"))));
}

TEST(EqualityTest, AbsentValuesOnEitherSide)
{
    const QString null;
    const QString empty = QStringLiteral("");
    EXPECT_TRUE(QMEqualStrings(null, null));
    // Qt itself says QString() == QString(""); absent and empty differ here.
    EXPECT_FALSE(QMEqualStrings(null, empty));
    EXPECT_FALSE(QMEqualStrings(empty, null));
    EXPECT_FALSE(QMEqualStrings(QStringLiteral("a"), null));
    EXPECT_TRUE(QMEqualStrings(QString(QStringLiteral("ab")),
                               QStringLiteral("a") + QStringLiteral("b")));

    EXPECT_TRUE(QMEqualDataObjects(QByteArray(), QByteArray()));
    EXPECT_FALSE(QMEqualDataObjects(QByteArray(), QByteArray("")));
    EXPECT_TRUE(QMEqualDataObjects(QByteArray("\0x", 2), QByteArray("\0x", 2)));
    EXPECT_FALSE(QMEqualDataObjects(QByteArray("\0x", 2), QByteArray("\0y", 2)));

    const QDateTime when = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    EXPECT_TRUE(QMEqualDates(QDateTime(), QDateTime()));
    EXPECT_FALSE(QMEqualDates(when, QDateTime()));
    EXPECT_FALSE(QMEqualDates(QDateTime(), when));
    EXPECT_TRUE(QMEqualDates(when, when.toOffsetFromUtc(3600)));

    EXPECT_TRUE(QMEqualValues(QVariant(), QVariant()));
    EXPECT_FALSE(QMEqualValues(QVariant(), QVariant(1)));
    EXPECT_FALSE(QMEqualValues(QVariant(1), QVariant()));
    EXPECT_TRUE(QMEqualObjects(QVariant(QStringLiteral("x")), QVariant(QStringLiteral("x"))));

    EXPECT_TRUE(QMEqualURLs(QUrl(QStringLiteral("https://a.example/x")),
                            QUrl(QStringLiteral("https://a.example/x"))));
    EXPECT_FALSE(QMEqualURLs(QUrl(QStringLiteral("https://a.example/x")), QUrl()));
    EXPECT_TRUE(QMEqualURLs(QUrl(), QUrl()));
}

TEST(EqualityTest, NumbersCompareByValueAcrossTypes)
{
    EXPECT_TRUE(QMEqualNumbers(QVariant(1), QVariant(1.0)));
    EXPECT_TRUE(QMEqualNumbers(QVariant(qint64(5)), QVariant(5u)));
    EXPECT_FALSE(
            QMEqualNumbers(QVariant(-1), QVariant(quint64(std::numeric_limits<quint64>::max()))));
    // Large integers stay exact instead of collapsing through double.
    EXPECT_FALSE(QMEqualNumbers(QVariant(qint64(9007199254740993LL)),
                                QVariant(qint64(9007199254740992LL))));
    EXPECT_FALSE(QMEqualNumbers(QVariant(1.5), QVariant(1)));
    EXPECT_TRUE(QMEqualNumbers(QVariant(), QVariant()));
    EXPECT_FALSE(QMEqualNumbers(QVariant(), QVariant(0)));
}

TEST(EqualityTest, SharedObjectsByInstanceOrValue)
{
    auto a = std::make_shared<QString>(QStringLiteral("x"));
    auto b = std::make_shared<QString>(QStringLiteral("x"));
    std::shared_ptr<QString> none;
    EXPECT_TRUE(QMEqualObjects(a, a));
    EXPECT_TRUE(QMEqualObjects(a, b));
    EXPECT_TRUE(QMEqualObjects(none, none));
    EXPECT_FALSE(QMEqualObjects(none, a));
    EXPECT_FALSE(QMEqualObjects(a, none));
}
