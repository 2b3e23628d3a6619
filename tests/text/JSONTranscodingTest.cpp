#include <QMFoundation/text/JSONTranscoding.h>

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <limits>

using namespace Qt::StringLiterals;
using namespace JSONTranscoding;

namespace {

std::string describe(const QVariant &value)
{
    return QMObjectDescribing::prettyDescriptionForObject(value).toStdString();
}

// Errors start out filled so that a test sees whether a call left, reset or replaced them.
QMError untouched()
{
    return QMError(u"untouched"_s, 99);
}

} // namespace

TEST(JSONTranscodingTest, ReadsArraysAndObjects)
{
    const struct
    {
        const char *json;
        QVariant expected;
    } rows[] = {
            {"\xEF\xBB\xBF[]", QVariantList {}}, // a leading byte-order mark is allowed
            {R"([1, 2.5, "a", true, false, null])",
             QVariantList {1, 2.5, u"a"_s, true, false, QMNull()}},
            {R"({"a": {"b": [null, {}]}, "": 0})",
             QVariantMap {{u"a"_s, QVariantMap {{u"b"_s, QVariantList {QMNull(), QVariantMap {}}}}},
                          {u""_s, 0}}},
            // U+FEFF keeps its place at the start of a text or key, written raw or escaped.
            {"[\"\xEF\xBB\xBFx\", \"\xEF\xBB\xBF\xEF\xBB\xBF\", \"\\ufeff\"]",
             QVariantList {u"\ufeffx"_s, u"\ufeff\ufeff"_s, u"\ufeff"_s}},
            {"\xEF\xBB\xBF{\"\xEF\xBB\xBFk\": \"a\xEF\xBB\xBF\"}",
             QVariantMap {{u"\ufeffk"_s, u"a\ufeff"_s}}},
            {"[9007199254740993, 0.1]", QVariantList {qint64(9007199254740993LL), 0.1}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json);
        QMError error = untouched();
        const QVariant value = JSONObject(row.json, &error);
        EXPECT_TRUE(QMEqualValues(value, row.expected)) << describe(value);
        EXPECT_EQ(error, untouched());
        EXPECT_TRUE(QMEqualValues(arrayWithDataUsingJSONEncoding(row.json), row.expected));

        const std::optional<QVariantMap> map
                = dictionaryWithDataUsingJSONEncoding(row.json, &error);
        const bool isObject = row.expected.metaType() == QMetaType::fromType<QVariantMap>();
        ASSERT_EQ(map.has_value(), isObject);
        if (isObject) {
            EXPECT_TRUE(QMEqualValues(*map, row.expected));
            EXPECT_EQ(error, untouched());
        } else {
            EXPECT_TRUE(error.isNull()); // an array is no parse error: the error is reset
        }
    }
}

TEST(JSONTranscodingTest, ReportsWhereParsingFailed)
{
    const struct
    {
        QByteArray json;
        const char *reason; // Qt's message
        qint64 offset;
    } rows[] = {
            {"", "illegal value", 0},
            {"[1] x", "garbage at the end of the document", 4},
            {"[\"a", "unterminated string", 3}, // Qt says 4, past the end
            // A byte-order mark is allowed only at the very start, and offsets stay those of
            // the data as given.
            {"[1,\xEF\xBB\xBF"
             "2]",
             "illegal number", 3},
            {"[\"\xEF\xBB\xBF\", \xEF\xBB\xBF"
             "1]",
             "illegal number", 8},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json.left(20).toStdString());
        QMError error = untouched();
        EXPECT_FALSE(JSONObject(row.json, &error).isValid());
        EXPECT_EQ(error.domain(), QMJSONTranscodingErrorDomain);
        EXPECT_EQ(error.code(), QMJSONTranscodingErrorInvalidData);
        EXPECT_EQ(error.localizedFailureReason(), QString::fromUtf8(row.reason));
        EXPECT_EQ(error.userInfo().value(QMJSONErrorOffsetKey), QVariant(row.offset));
        EXPECT_EQ(error.localizedDescription(),
                  u"The data is not valid JSON: %1 at offset %2."_s.arg(
                          QString::fromUtf8(row.reason), QString::number(row.offset)));

        QMError other = untouched();
        EXPECT_FALSE(arrayWithDataUsingJSONEncoding(row.json, &other).isValid());
        EXPECT_EQ(other, error);
        other = untouched();
        EXPECT_FALSE(dictionaryWithDataUsingJSONEncoding(row.json, &other).has_value());
        EXPECT_EQ(other, error);
        EXPECT_FALSE(JSONObject(row.json).isValid()); // no error asked for
    }
}

TEST(JSONTranscodingTest, WritesCompactJSON)
{
    const struct
    {
        const char *name;
        QVariant value;
        const char *json;
    } rows[] = {
            {"empty map", QVariantMap {}, "{}"},
            {"scalars",
             QVariantList {1, -2.5, true, u"a"_s, QMNull(), QVariant(), 0.1f, 1e300, -0.0},
             R"([1,-2.5,true,"a",null,null,0.10000000149011612,1e+300,0])"},
            {"integers",
             QVariantList {std::numeric_limits<qint64>::min(),
                           quint64(std::numeric_limits<qint64>::max()), uint(4000000000u),
                           QVariant::fromValue<short>(-3)},
             "[-9223372036854775808,9223372036854775807,4000000000,-3]"},
            {"keys in order", QVariantMap {{u"b"_s, 1}, {u"a"_s, QVariantMap {{u"c"_s, 2}}}},
             R"({"a":{"c":2},"b":1})"},
            {"hash", QVariantHash {{u"y"_s, 1}, {u"x"_s, 2}}, R"({"x":2,"y":1})"},
            {"UTF-8", QVariantList {u"\u00e9"_s}, "[\"\xC3\xA9\"]"},
            {"null text", QVariantList {QString(), QStringList {QString()}}, R"(["",[""]])"},
            // Written escaped, so that no reader takes it for a byte-order mark and drops it.
            {"U+FEFF", QVariantMap {{u"\ufeffk"_s, u"\ufeff"_s}}, R"({"\ufeffk":"\ufeff"})"},
            {"string list", QStringList {u"a"_s, u"b"_s}, R"(["a","b"])"},
            {"JSON values",
             QVariantList {QJsonValue(1), QJsonArray {u"x"_s}, QJsonObject {{u"k"_s, true}}},
             R"([1,["x"],{"k":true}])"},
            {"JSON document", QJsonDocument(QJsonObject {{u"k"_s, 1}}), R"({"k":1})"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QMError error = untouched();
        EXPECT_EQ(dataWithJSONObject(row.value, &error), QByteArray(row.json));
        EXPECT_EQ(error, untouched());
        if (row.value.metaType() == QMetaType::fromType<QVariantList>()) {
            EXPECT_EQ(dataUsingJSONEncoding(row.value.toList()), QByteArray(row.json));
        }
        if (row.value.metaType() == QMetaType::fromType<QVariantMap>()) {
            EXPECT_EQ(dataUsingJSONEncoding(row.value.toMap()), QByteArray(row.json));
            EXPECT_EQ(stringUsingJSONEncoding(row.value.toMap()), QString::fromUtf8(row.json));
        }
    }
}

TEST(JSONTranscodingTest, RefusesWhatJSONCannotHold)
{
    const double nan = std::nan("");
    const struct
    {
        const char *name;
        QVariantMap value;
        const char *path;
        const char *reason;
    } rows[] = {
            {"NaN", {{u"a"_s, QVariantList {1, nan}}}, "/a/1", "a double that is not finite (nan)"},
            {"unsigned above 2^63 - 1",
             {{u"n"_s, std::numeric_limits<quint64>::max()}},
             "/n",
             "an unsigned integer above 9223372036854775807 (18446744073709551615)"},
            {"undefined JSON value",
             {{u"j"_s, QJsonValue(QJsonValue::Undefined)}},
             "/j",
             "an undefined JSON value"},
            {"NaN in a JSON array",
             {{u"j"_s, QJsonArray {1, QJsonObject {{u"x"_s, nan}}}}},
             "/j/1/x",
             "a double that is not finite (nan)"},
            {"key escaping",
             {{u"a/b"_s, QVariantMap {{u"~c"_s, QVariantHash {{u"d"_s, QVariantList {QUrl()}}}}}}},
             "/a~1b/~0c/d/0",
             "a value of type QUrl"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QMError error = untouched();
        EXPECT_TRUE(dataUsingJSONEncoding(row.value, &error).isNull());
        EXPECT_EQ(error.domain(), QMJSONTranscodingErrorDomain);
        EXPECT_EQ(error.code(), QMJSONTranscodingErrorInvalidValue);
        EXPECT_EQ(error.userInfo().value(QMJSONErrorPathKey).toString(),
                  QString::fromUtf8(row.path));
        EXPECT_EQ(error.localizedFailureReason(), QString::fromUtf8(row.reason));
        EXPECT_EQ(error.localizedDescription(),
                  u"The value at %1 cannot be written as JSON."_s.arg(QString::fromUtf8(row.path)));

        QMError other;
        EXPECT_TRUE(stringUsingJSONEncoding(row.value, &other).isNull());
        EXPECT_EQ(other, error);
        EXPECT_TRUE(dataWithJSONObject(row.value).isNull());
        EXPECT_TRUE(dataUsingJSONEncoding(QVariantList {row.value}, &other).isNull());
        EXPECT_EQ(other.userInfo().value(QMJSONErrorPathKey).toString(),
                  u"/0"_s + QString::fromUtf8(row.path));
    }

    // Only an array or an object makes a document.
    const std::pair<QVariant, const char *> topLevels[] = {
            {QVariant(), "an invalid QVariant"},
            {QMNull(), "the null marker"},
            {QJsonValue(u"x"_s), "a value of type QJsonValue"},
            {QJsonDocument(), "an empty QJsonDocument"},
            {nan, "a double that is not finite (nan)"},
    };
    for (const auto &[value, reason] : topLevels) {
        SCOPED_TRACE(reason);
        QMError error;
        EXPECT_TRUE(dataWithJSONObject(value, &error).isNull());
        EXPECT_EQ(error.domain(), QMJSONTranscodingErrorDomain);
        EXPECT_EQ(error.code(), QMJSONTranscodingErrorInvalidTopLevel);
        EXPECT_EQ(error.localizedFailureReason(), QString::fromUtf8(reason));
        EXPECT_EQ(error.localizedDescription(),
                  u"Only an array or an object can be written as a JSON document."_s);
    }
}
