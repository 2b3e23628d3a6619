#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include "TextTestSupport.h"
#include "support/Failures.h"

#include <QDateTime>
#include <QObject>
#include <QSize>
#include <QTimeZone>
#include <QUrl>
#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

class Point : public QMObjectDescribing
{
public:
    QString className() const override { return u"Point"_s; }
    std::optional<QStringList> attributeKeys() const override { return keys; }
    QVariant valueForKey(const QString &key) const override
    {
        readKeys.append(key);
        return values.value(key);
    }

    std::optional<QStringList> keys = QStringList {u"x"_s, u"visible"_s};
    QVariantMap values {{u"x"_s, 1}, {u"visible"_s, true}};
    mutable QStringList readKeys;
};

// The describing interface is not the first base, so its address differs from the object's.
struct Payload
{
    virtual ~Payload() = default;
    qint64 data[4] = {};
};
class LabelledPoint : public Payload, public Point
{ };

class Gadget : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int count MEMBER m_count)
    Q_PROPERTY(bool visible MEMBER m_visible)

public:
    int m_count = 0;
    bool m_visible = false;
};

class Dial : public Gadget
{
    Q_OBJECT
    Q_PROPERTY(QString name MEMBER m_name)
    Q_PROPERTY(QStringList tags MEMBER m_tags)

public:
    QString m_name = u"Anna"_s;
    QStringList m_tags {u"a"_s};
};

QString header(const QString &className, const void *object)
{
    return className + u" <"_s + QMObjectDescribing::identity(object) + u'>';
}

} // namespace

TEST(ObjectDescribingTest, DescribesAttributesInBothLayouts)
{
    Point point;
    const QString head = header(u"Point"_s, &point);
    EXPECT_TRUE(QMObjectDescribing::identity(&point).startsWith(u"0x"_s));
    EXPECT_EQ(QMObjectDescribing::identity(nullptr), u"0x0"_s);
    EXPECT_EQ(point.prettyDescription(), head + u" {\n\tx: 1,\n\tvisible: YES\n}"_s);
    EXPECT_EQ(point.defaultDescription(), head + u" { x: 1, visible: YES }"_s);

    point.values = {{u"x"_s, 0}, {u"visible"_s, false}, {u"marker"_s, QMNull()}};
    point.keys->append({u"missing"_s, u"marker"_s});
    EXPECT_EQ(point.defaultDescription(),
              head + u" { x: 0, visible: NO, missing: (null), marker: <null> }"_s);

    point.keys = QStringList();
    EXPECT_EQ(point.prettyDescription(), head + u" {\n\t\n}"_s);
    EXPECT_EQ(point.defaultDescription(), head + u" {  }"_s);
    point.keys = std::nullopt;
    EXPECT_EQ(point.prettyDescription(), head + u" { }"_s);
    EXPECT_EQ(point.defaultDescription(), head + u" { }"_s);

    const LabelledPoint labelled;
    ASSERT_NE(static_cast<const void *>(static_cast<const Point *>(&labelled)), &labelled);
    EXPECT_TRUE(labelled.defaultDescription().startsWith(header(u"Point"_s, &labelled) + u' '));
}

TEST(ObjectDescribingTest, DescribesGivenItemsAndDictionaries)
{
    Point point;
    const QVariantList items {u"visible"_s, QVariantMap {{u"secret"_s, u"***"_s}},
                              QVariantMap {{u"a"_s, 1}, {u"z"_s, 2}}, u"missing"_s, QVariantMap {}};
    EXPECT_EQ(point.prettyDescriptionWithItems(items),
              header(u"Point"_s, &point)
                      + u" { visible: 1, secret: ***, z: 2, missing: (null), (null): (null) }"_s);
    EXPECT_EQ(point.readKeys, (QStringList {u"visible"_s, u"missing"_s})); // pairs read nothing

    const QVariantMap dictionary {{u"a"_s, 1}, {u"b"_s, QVariantList {true, QMNull(), u"t"_s}}};
    EXPECT_EQ(
            point.prettyDescriptionWithDictionary(dictionary),
            header(u"Point"_s, &point)
                    + u" {\n    \"a\": 1,\n    \"b\": [\n        true,\n        null,\n        \"t\"\n    ]\n}"_s);

    QObject object;
    // JSON would only hold the unsigned integer rounded to a double.
    for (const QVariant &value :
         {QVariant::fromValue(&object), QVariant(std::numeric_limits<quint64>::max())})
        EXPECT_THROW(point.prettyDescriptionWithDictionary({{u"k"_s, value}}),
                     QMInternalInconsistencyException);
    EXPECT_EQ(failureOf([&] {
                  point.prettyDescriptionWithDictionary({{u"a"_s, std::nan("")}});
              }),
              u"Is not a valid JSON object: {\n    a = nan;\n}"_s);
}

TEST(ObjectDescribingTest, DescribesQObjectsThroughTheirProperties)
{
    Dial dial;
    const QString head = header(u"Dial"_s, &dial);
    EXPECT_EQ(QMObjectDescribing::defaultDescription(&dial),
              head + u" { count: 0, visible: NO, name: Anna, tags: (\n    a\n) }"_s);
    dial.m_count = 3;
    dial.m_visible = true;
    EXPECT_EQ(QMObjectDescribing::prettyDescription(&dial),
              head + u" {\n\tcount: 3,\n\tvisible: YES,\n\tname: Anna,\n\ttags: (\n    a\n)\n}"_s);
    EXPECT_EQ(QMObjectDescribing::prettyDescriptionWithItems(&dial, {u"visible"_s}),
              head + u" { visible: 1 }"_s);
    EXPECT_EQ(QMObjectDescribing::prettyDescriptionWithDictionary(&dial, {}), head + u" {\n}"_s);

    const QObject plain;
    EXPECT_EQ(QMObjectDescribing::prettyDescription(&plain),
              header(u"QObject"_s, &plain) + u" {\n\t\n}"_s);
    EXPECT_EQ(QMObjectDescribing::defaultDescription(&plain),
              header(u"QObject"_s, &plain) + u" {  }"_s);
    EXPECT_TRUE(QMObjectDescribing::prettyDescription(nullptr).isNull());
}

TEST(ObjectDescribingTest, DescribesValuesByType)
{
    Dial dial;
    const QVariantHash hash {{u"b"_s, 2}, {u"a"_s, 1}, {u"c"_s, 3}};
    const QDateTime berlin(QDate(2024, 3, 1), QTime(10, 30, 5), QTimeZone(3600));
    const std::pair<QVariant, QString> cases[]
            = {{u"as is"_s, u"as is"_s},
               {std::numeric_limits<quint64>::max(), u"18446744073709551615"_s},
               {0.1f, u"0.1"_s},
               {true, u"1"_s},
               {QVariant(), u"<null>"_s},
               {QMNull(), u"<null>"_s},
               {QStringList {u"a"_s, u"b"_s}, u"(\n    a,\n    b\n)"_s},
               {QVariantList {1, QVariantList {u"x"_s}, QVariantList {}},
                u"(\n    1,\n    (\n        x\n    ),\n    (\n    )\n)"_s},
               {QVariantMap {{u"k"_s, u"v"_s}, {u"n"_s, QVariantList {1}}},
                u"{\n    k = v;\n    n = (\n        1\n    );\n}"_s},
               {QVariantMap {}, u"{\n}"_s},
               {hash, u"{\n    a = 1;\n    b = 2;\n    c = 3;\n}"_s},
               {QVariant::fromValue(QList<int> {7, 8}), u"(\n    7,\n    8\n)"_s},
               {QByteArray("hello"), u"<68656c6c 6f>"_s},
               {QByteArray(), u"<>"_s},
               {berlin, u"2024-03-01 09:30:05 +0000"_s},
               {QDateTime(), u"<null>"_s},
               {QUrl(u"https://example.com/a?b=1"_s), u"https://example.com/a?b=1"_s},
               {QVariant::fromValue(static_cast<Gadget *>(&dial)), header(u"Dial"_s, &dial)},
               {QVariant::fromValue(static_cast<QObject *>(nullptr)), u"<null>"_s},
               // Other types as Qt writes them, or by type name where it cannot.
               {QUuid(u"{67c8770b-44f1-410a-ab9a-f9b5446f13ee}"_s),
                u"{67c8770b-44f1-410a-ab9a-f9b5446f13ee}"_s},
               {QSize(1, 2), u"<QSize>"_s}};
    for (const auto &[value, expected] : cases)
        EXPECT_EQ(QMObjectDescribing::prettyDescriptionForObject(value), expected)
                << value.typeName();
}

#include "ObjectDescribingTest.moc"
