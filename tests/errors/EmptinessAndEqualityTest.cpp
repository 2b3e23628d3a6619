#include <QMFoundation/errors/QMEmptiness.h>
#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMNull.h>

#include <gtest/gtest.h>

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QPoint>
#include <QPointF>
#include <QSet>
#include <QStringListModel>

#include <cmath>
#include <limits>
#include <vector>

TEST(EmptinessTest, TypedTests)
{
    EXPECT_FALSE(QMStringIsEmpty(QStringLiteral(" \n")));
    EXPECT_TRUE(QMStringIsEmptyOrWhiteSpaces(QStringLiteral(" \n\t\r\n ")));
    EXPECT_TRUE(QMStringIsEmptyOrWhiteSpaces(QString()));
    EXPECT_FALSE(QMStringIsEmptyOrWhiteSpaces(QStringLiteral(" x ")));

    EXPECT_TRUE(QMURLIsEmpty(QUrl()));
    EXPECT_FALSE(QMURLIsEmpty(QUrl(QStringLiteral("https://example.com/"))));
    EXPECT_FALSE(QMDataIsEmpty(QByteArray("\0", 1)));
    EXPECT_FALSE(QMArrayIsEmpty(QList<int> {1}));
    EXPECT_TRUE(QMArrayIsEmpty(std::optional<QList<int>>()));
    EXPECT_TRUE(QMDictionaryIsEmpty(QVariantMap()));
    EXPECT_TRUE(QMSetIsEmpty(QSet<int>()));
    EXPECT_FALSE(QMSetIsEmpty(std::optional<QSet<int>>(QSet<int> {1})));
}

TEST(EmptinessTest, VariantLengthThenCountRule)
{
    // Objects that report a length and/or a count through properties (none where invalid).
    QObject owner;
    const auto objectWith = [&owner](const QVariant &length, const QVariant &count) {
        auto *object = new QObject(&owner);
        object->setProperty("length", length);
        object->setProperty("count", count);
        return QVariant::fromValue(object);
    };
    QStringListModel emptyModel;
    QStringListModel model(QStringList {QStringLiteral("a")});

    struct Row
    {
        const char *name;
        QVariant value;
        bool empty;
    };
    const Row rows[] = {
            // Absent and the null marker.
            {"absent", QVariant(), true},
            {"null marker", QMNull(), true},
            {"null QObject pointer", QVariant::fromValue(static_cast<QObject *>(nullptr)), true},
            // Lengths.
            {"empty text", QVariant(QStringLiteral("")), true},
            {"null text", QVariant(QString()), true},
            {"text", QVariant(QStringLiteral("a")), false},
            {"empty bytes", QVariant(QByteArray()), true},
            // Qt and standard containers.
            {"empty list", QVariant(QVariantList()), true},
            {"list of one absent value", QVariant(QVariantList {QVariant()}), false},
            {"empty set", QVariant::fromValue(QSet<int>()), true},
            {"empty std::vector", QVariant::fromValue(std::vector<int>()), true},
            {"empty map", QVariant(QVariantMap()), true},
            {"empty QMap<int, QString>", QVariant::fromValue(QMap<int, QString>()), true},
            // JSON.
            {"empty JSON array", QVariant(QJsonArray()), true},
            {"empty JSON object", QVariant(QJsonObject()), true},
            {"JSON value holding []", QVariant(QJsonValue(QJsonArray())), true},
            {"JSON value holding {}", QVariant(QJsonValue(QJsonObject())), true},
            {"JSON value holding \"\"", QVariant(QJsonValue(QStringLiteral(""))), true},
            {"JSON null", QVariant(QJsonValue(QJsonValue::Null)), true},
            {"JSON undefined", QVariant(QJsonValue(QJsonValue::Undefined)), true},
            {"JSON 0", QVariant(QJsonValue(0)), false},
            {"empty JSON document", QVariant(QJsonDocument(QJsonArray())), true},
            {"null JSON document", QVariant(QJsonDocument()), true},
            // CBOR.
            {"empty CBOR array", QVariant::fromValue(QCborArray()), true},
            {"empty CBOR map", QVariant::fromValue(QCborMap()), true},
            {"CBOR value holding []", QVariant::fromValue(QCborValue(QCborArray())), true},
            {"CBOR value holding empty bytes", QVariant::fromValue(QCborValue(QByteArray(""))),
             true},
            {"CBOR value holding 1", QVariant::fromValue(QCborValue(1)), false},
            // Objects with length and count properties, and item models.
            {"object with length 0", objectWith(0, {}), true},
            {"object with length 3", objectWith(3, {}), false},
            {"object with count 0", objectWith({}, 0), true},
            // A non-zero length falls through to the count; a zero length settles it.
            {"length 3, count 0", objectWith(3, 0), true},
            {"length 0, count 2", objectWith(0, 2), true},
            {"count that is not a number", objectWith({}, QStringLiteral("0")), false},
            {"object without length or count", objectWith({}, {}), false},
            {"empty model", QVariant::fromValue<QObject *>(&emptyModel), true},
            {"model with a row", QVariant::fromValue<QObject *>(&model), false},
            // Scalars have neither a length nor a count.
            {"zero", QVariant(0), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(QMIsEmpty(row.value), row.empty);
        EXPECT_EQ(QMIsNotEmpty(row.value), !row.empty);
    }

    EXPECT_TRUE(QMIsEmptyString(QVariant()));
    EXPECT_TRUE(QMIsEmptyString(QMNull()));
    EXPECT_TRUE(QMIsEmptyString(QVariant(QStringLiteral(""))));
    EXPECT_TRUE(QMIsEmptyString(QVariant(QJsonValue(QStringLiteral("")))));
    EXPECT_TRUE(QMIsEmptyString(QVariant(QJsonValue(QJsonValue::Null))));
    EXPECT_FALSE(QMIsEmptyString(QVariant(QStringLiteral("x"))));
    // An empty list or byte array is empty but not an empty string.
    EXPECT_FALSE(QMIsEmptyString(QVariant(QVariantList())));
    EXPECT_FALSE(QMIsEmptyString(QVariant(QByteArray(""))));
    EXPECT_TRUE(QMIsNotEmptyString(QVariant(QStringLiteral("x"))));
}

TEST(EqualityTest, ValuesAreComparedStrictly)
{
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    const QString a = QStringLiteral("a");
    const QString one = QStringLiteral("1");
    const QString k = QStringLiteral("k");
    QSet<int> oneTwo {1, 2};
    QSet<int> twoOne;
    for (int i = 100; i > 0; --i)
        twoOne.insert(i);
    twoOne.removeIf([](int i) { return i > 2; });

    struct Row
    {
        const char *name;
        QVariant a;
        QVariant b;
        bool equal;
    };
    const Row rows[] = {
            // Absence, emptiness and the null marker.
            {"absent, absent", QVariant(), QVariant(), true},
            {"absent, empty text", QVariant(), QVariant(QStringLiteral("")), false},
            {"null text, empty text", QVariant(QString()), QVariant(QStringLiteral("")), false},
            {"null marker, null marker", QMNull(), QMNull(), true},
            {"null marker, absent", QMNull(), QVariant(), false},
            // No conversion between kinds.
            {"number, text", QVariant(1), QVariant(one), false},
            {"bytes, text", QVariant(QByteArray("a")), QVariant(a), false},
            {"QPoint, QPointF", QVariant(QPoint(1, 2)), QVariant(QPointF(1, 2)), false},
            // Numbers by value across the numeric types.
            {"int, double", QVariant(1), QVariant(1.0), true},
            {"qint64, uint", QVariant(qint64(5)), QVariant(5u), true},
            {"boolean, 1", QVariant(true), QVariant(1), true},
            {"1.5, 1", QVariant(1.5), QVariant(1), false},
            {"-1, max quint64", QVariant(-1),
             QVariant(quint64(std::numeric_limits<quint64>::max())), false},
            {"2^53 + 1, 2^53", QVariant(qint64(9007199254740993LL)),
             QVariant(qint64(9007199254740992LL)), false},
            {"NaN, NaN", QVariant(std::nan("")), QVariant(std::nan("")), false},
            // Texts, bytes, dates and URLs by their own rules.
            {"null bytes, empty bytes", QVariant(QByteArray()), QVariant(QByteArray("")), false},
            {"same instant, other offset", QVariant(when), QVariant(when.toOffsetFromUtc(3600)),
             true},
            {"urls with the same text", QVariant(QUrl(QStringLiteral("https://a.example/x"))),
             QVariant(QUrl(QStringLiteral("https://a.example/x"))), true},
            // Lists element by element.
            {"string list, variant list", QVariant(QStringList {a}), QVariant(QVariantList {a}),
             true},
            {"list of 1, list of \"1\"", QVariant(QVariantList {1}), QVariant(QVariantList {one}),
             false},
            {"list of null text, list of empty text", QVariant(QStringList {QString()}),
             QVariant(QStringList {QStringLiteral("")}), false},
            {"nested lists by number value", QVariant(QVariantList {QVariantList {1}}),
             QVariant(QVariantList {QVariantList {1.0}}), true},
            {"order matters", QVariant(QVariantList {1, 2}), QVariant(QVariantList {2, 1}), false},
            {"different lengths", QVariant(QVariantList {1}), QVariant(QVariantList {1, 1}), false},
            {"QList<int>, QVariantList", QVariant::fromValue(QList<int> {1, 2}),
             QVariant(QVariantList {1, 2.0}), true},
            // Maps entry by entry.
            {"map values are strict", QVariant(QVariantMap {{k, 1}}),
             QVariant(QVariantMap {{k, one}}), false},
            {"map, hash", QVariant(QVariantMap {{k, 1}}), QVariant(QVariantHash {{k, 1.0}}), true},
            {"different keys", QVariant(QVariantMap {{k, 1}}),
             QVariant(QVariantMap {{QStringLiteral("j"), 1}}), false},
            {"int keys, text keys", QVariant::fromValue(QMap<int, QString> {{1, a}}),
             QVariant(QVariantMap {{one, a}}), false},
            {"map, list", QVariant(QVariantMap()), QVariant(QVariantList()), false},
            // JSON values as what they hold.
            {"JSON number, int", QVariant(QJsonValue(1)), QVariant(1), true},
            {"JSON null, null marker", QVariant(QJsonValue(QJsonValue::Null)), QMNull(), true},
            {"JSON undefined, absent", QVariant(QJsonValue(QJsonValue::Undefined)), QVariant(),
             true},
            {"JSON array, list", QVariant(QJsonArray {1, a}), QVariant(QVariantList {1, a}), true},
            {"JSON object, map", QVariant(QJsonObject {{k, true}}),
             QVariant(QVariantMap {{k, true}}), true},
            // Everything else by its own equality, for the same type only.
            {"sets in another order", QVariant::fromValue(oneTwo), QVariant::fromValue(twoOne),
             true},
            {"set, list", QVariant::fromValue(oneTwo), QVariant::fromValue(QList<int> {1, 2}),
             false},
            {"equal points", QVariant(QPoint(1, 2)), QVariant(QPoint(1, 2)), true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(QMEqualValues(row.a, row.b), row.equal);
        EXPECT_EQ(QMEqualValues(row.b, row.a), row.equal);
        EXPECT_EQ(QMEqualObjects(row.a, row.b), row.equal);
        EXPECT_EQ(QMEqualObjects(row.b, row.a), row.equal);
    }

    // Number equality never falls back to a converting comparison either.
    EXPECT_FALSE(QMEqualNumbers(QVariant(one), QVariant(1)));
    EXPECT_FALSE(QMEqualNumbers(QVariant(QString()), QVariant(QStringLiteral(""))));
}

TEST(EqualityTest, AbsentValuesOnEitherSide)
{
    // Qt itself says QString() == QString(""); absent and empty differ here.
    EXPECT_FALSE(QMEqualStrings(QString(), QStringLiteral("")));
    EXPECT_TRUE(QMEqualDataObjects(QByteArray("\0x", 2), QByteArray("\0x", 2)));
    EXPECT_FALSE(QMEqualDataObjects(QByteArray("\0x", 2), QByteArray("\0y", 2)));

    const QDateTime when = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    EXPECT_TRUE(QMEqualDates(QDateTime(), QDateTime()));
    EXPECT_FALSE(QMEqualDates(when, QDateTime()));
    EXPECT_FALSE(QMEqualDates(QDateTime(), when));

    EXPECT_TRUE(QMEqualNumbers(QVariant(), QVariant()));
    EXPECT_FALSE(QMEqualNumbers(QVariant(), QVariant(0)));
    EXPECT_FALSE(QMEqualNumbers(QVariant(0), QVariant()));

    EXPECT_FALSE(QMEqualURLs(QUrl(QStringLiteral("https://a.example/x")), QUrl()));
    EXPECT_TRUE(QMEqualURLs(QUrl(), QUrl()));
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
