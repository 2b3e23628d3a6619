#include "RestModels.h"

#include "support/Failures.h"
#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/rest/QMRESTAPIJSONParser.h>
#include <QMFoundation/text/JSONTranscoding.h>

#include <gtest/gtest.h>

using TestSupport::failureOf;

namespace {

std::shared_ptr<Post> readPost(const char *json)
{
    Post::registerTransformers();
    QMError error;
    auto post = QMRESTAPIJSONParser::parseObjectFromJSONData<Post>(QByteArray(json), &error);
    EXPECT_TRUE(post) << error.localizedDescription().toStdString();
    return post;
}

std::string json(const QVariantMap &map)
{
    return JSONTranscoding::dataUsingJSONEncoding(map).toStdString();
}

// Classes whose definition breaks the model contract.
class NotConstructible : public QMRESTAPIModel
{
    Q_OBJECT
public:
    explicit NotConstructible(QObject *parent = nullptr)
        : QMRESTAPIModel(parent)
    { }
};

class UnknownProperty : public QMRESTAPIModel
{
    Q_OBJECT
public:
    Q_INVOKABLE UnknownProperty() = default;

protected:
    QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
    {
        return {QMRESTAPIModelPropertyMapping(u"a"_s, u"nothing"_s)};
    }
};

class ReadOnly : public QMRESTAPIModel
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name)
public:
    Q_INVOKABLE ReadOnly() = default;
    QString name() const { return u"fixed"_s; }

protected:
    QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
    {
        return {QMRESTAPIModelPropertyMapping(u"name"_s, u"name"_s)};
    }
};

} // namespace

TEST(QMRESTAPIModelTest, ReadsJSONValuesIntoProperties)
{
    const QDateTime date(QDate(2021, 3, 4), QTime(5, 6, 7, 891), Qt::UTC);
    const struct
    {
        const char *json;
        const char *property;
        QVariant expected;
    } rows[] = {
            {R"({"title": "x"})", "title", u"x"_s},
            {R"({"title": ""})", "title", u""_s},
            {R"({"count": 42, "views": 9007199254740993})", "views", qint64(9007199254740993)},
            {R"({"count": 42})", "count", 42},
            {R"({"score": 1.5})", "score", 1.5},
            {R"({"score": 2})", "score", 2.0},
            {R"({"published": true})", "published", true},
            {R"({"published": 3})", "published", true},
            // Integers take whole numbers that fit; anything else leaves the initial value.
            {R"({"count": 1.0})", "count", 1},
            {R"({"count": 1.5})", "count", 7},
            {R"({"count": 3e10})", "count", 7},
            {R"({"port": 65535})", "port", 65535},
            {R"({"port": -1})", "port", 7},
            {R"({"count": "12"})", "count", 7},
            {R"({"title": 12})", "title", u"initial"_s},
            {R"({"title": {"a": 1}})", "title", u"initial"_s},
            {R"({"published": "yes"})", "published", false},
            // Null and a missing member leave the initial value.
            {R"({"title": null})", "title", u"initial"_s},
            {R"({"other": "x"})", "title", u"initial"_s},
            // Paths: "." by default, the separator "/" (and "." as well) otherwise.
            {R"({"user": {"login": "x"}})", "login", u"x"_s},
            {R"({"user": "x"})", "login", QString()},
            {R"({"user": {"id": 5}})", "userIdentifier", 5},
            {R"({"a": {"b": {"c": "x"}}})", "dotted", u"x"_s},
            {R"({"a.b": {"c": "x"}})", "dotted", QString()},
            // Transformers by name; an unknown name or a value they refuse sets nothing.
            {R"({"created_at": "2021-03-04T05:06:07.891Z"})", "created", date},
            {R"({"created_at": "2021-03-04"})", "created", QDateTime()},
            {R"({"created_at": 5})", "created", QDateTime()},
            {R"({"url": "https://example.com/a"})", "link", QUrl(u"https://example.com/a"_s)},
            {R"({"unknown": "x"})", "unknown", QString()},
            // An untyped property takes JSON as it comes, null inside as the null marker.
            {R"({"extra": [1, "a", null]})", "extra", QVariantList {1, u"a"_s, QMNull()}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json);
        const auto post = readPost(row.json);
        ASSERT_TRUE(post);
        const QVariant actual = post->property(row.property);
        EXPECT_TRUE(QMEqualValues(actual, row.expected)) << actual.toString().toStdString();
    }
}

TEST(QMRESTAPIModelTest, WritesJSONRepresentations)
{
    const struct
    {
        const char *json;
        const char *all;
        const char *writable;
    } rows[] = {
            // Unset texts, dates, URLs and models are left out; numbers and lists always count.
            {"{}",
             R"({"comments":[],"count":7,"port":7,"published":false,"score":7,"title":"initial","user":{"id":7},"views":7})",
             R"({"title":"initial","user":{"id":7}})"},
            // Two paths into "user" make one dictionary; "a.b/c" splits only at "/".
            {R"({"title":"t","user":{"login":"l","id":3},"a":{"b":{"c":"d"}}})",
             R"({"a.b":{"c":"d"},"comments":[],"count":7,"port":7,"published":false,"score":7,"title":"t","user":{"id":3,"login":"l"},"views":7})",
             R"({"title":"t","user":{"id":3,"login":"l"}})"},
            // Transformers turn dates, URLs and nested models back.
            {R"({"created_at":"2021-03-04T05:06:07.891Z","url":"https://example.com/a",
                 "author":{"login":"a","id":1},"comments":[{"login":"b"},{"id":2}]})",
             R"({"author":{"id":1,"login":"a"},"comments":[{"id":0,"login":"b"},{"id":2}],"count":7,"created_at":"2021-03-04T05:06:07.891Z","port":7,"published":false,"score":7,"title":"initial","url":"https://example.com/a","user":{"id":7},"views":7})",
             R"({"title":"initial","user":{"id":7}})"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json);
        const auto post = readPost(row.json);
        ASSERT_TRUE(post);
        EXPECT_EQ(json(post->JSONRepresentation()), row.all);
        EXPECT_EQ(json(post->writableJSONProperties()), row.writable);
    }

    // A transformer name that names none writes the raw value.
    const auto post = readPost("{}");
    post->unknown = u"raw"_s;
    EXPECT_EQ(post->JSONRepresentation().value(u"unknown"_s), QVariant(u"raw"_s));
}

TEST(QMRESTAPIModelTest, ReadsNestedModelsAndLists)
{
    const auto post = readPost(R"({"author": {"login": "a", "id": 1}, "comments": [{"id": 2}]})");
    ASSERT_TRUE(post->author);
    EXPECT_EQ(post->author->login, u"a"_s);
    EXPECT_EQ(post->author->identifier, 1);
    ASSERT_EQ(post->comments.size(), 1);
    EXPECT_EQ(post->comments.front()->identifier, 2);

    // A list with an element that is no object, or an author that is no object, sets nothing.
    const auto bad = readPost(R"({"author": [1], "comments": [{"id": 2}, 3]})");
    EXPECT_FALSE(bad->author);
    EXPECT_TRUE(bad->comments.isEmpty());
}

TEST(QMRESTAPIJSONParserTest, ReportsUnexpectedContents)
{
    const QString unexpected = u"QMRESTAPIJSONParserErrorDomain"_s;
    const struct
    {
        const char *json;
        bool list;
        QString domain; // null for success
        qsizetype count = 0;
    } rows[] = {
            {"[]", true, {}, 0},
            {R"([{}, {"title": "x"}])", true, {}, 2},
            {"{}", true, unexpected},
            {R"([1, {}])", true, unexpected},
            {R"([{}, null])", true, unexpected},
            {R"([{}])", false, unexpected},
            {"", false, QMJSONTranscodingErrorDomain},
            {R"({"title": )", true, QMJSONTranscodingErrorDomain},
            {R"("text")", false, QMJSONTranscodingErrorDomain},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.json);
        QMError error;
        const QByteArray data(row.json);
        bool succeeded = false;
        if (row.list) {
            const auto posts = QMRESTAPIJSONParser::parseObjectsFromJSONData<Post>(data, &error);
            succeeded = posts.has_value();
            if (posts) {
                EXPECT_EQ(posts->size(), row.count);
            }
        } else {
            succeeded = bool(QMRESTAPIJSONParser::parseObjectFromJSONData<Post>(data, &error));
        }
        EXPECT_EQ(succeeded, row.domain.isNull());
        EXPECT_EQ(error.domain(), row.domain);
        EXPECT_EQ(error.code(), row.domain.isNull() ? 0 : 1);
        if (row.domain == unexpected) {
            EXPECT_EQ(error.localizedDescription(), u"Unexpected JSON contents."_s);
        }
    }
}

TEST(QMRESTAPIModelTest, RejectsBrokenContracts)
{
    const QByteArray data("{}");
    const auto parse = [&](const QMetaObject *modelClass, const QByteArray &bytes = "{}") {
        return [=] {
            (void)QMRESTAPIJSONParser::parseObjectFromJSONData(bytes, modelClass);
        };
    };
    const struct
    {
        std::function<void()> action;
        QString reason;
    } rows[] = {
            {parse(&Post::staticMetaObject, QByteArray()),
             u"Invalid parameter not satisfying: jsonData"_s},
            {parse(nullptr), u"Invalid parameter not satisfying: modelClass"_s},
            {parse(&QObject::staticMetaObject),
             u"Invalid parameter not satisfying: [modelClass isSubclassOfClass:[QMRESTAPIModel "
             u"class]]"_s},
            {parse(&NotConstructible::staticMetaObject),
             u"Cannot create an instance of the model class NotConstructible: it has no "
             u"Q_INVOKABLE constructor that takes no arguments"_s},
            {parse(&UnknownProperty::staticMetaObject),
             u"The model class UnknownProperty has no property nothing"_s},
            {parse(&ReadOnly::staticMetaObject, R"({"name": "x"})"),
             u"The property name of the model class ReadOnly cannot be written"_s},
            {[] { QMRESTAPIModelPropertyMapping(QString(), u"a"_s); },
             u"Invalid parameter not satisfying: jsonPropertyName"_s},
            {[] { QMRESTAPIModelPropertyMapping(u"a"_s, u""_s); },
             u"Invalid parameter not satisfying: modelPropertyName"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.reason.toStdString());
        EXPECT_EQ(failureOf(row.action), row.reason);
    }
    // A read-only property is still written out.
    const auto readOnly
            = QMRESTAPIJSONParser::parseObjectFromJSONData(data, &ReadOnly::staticMetaObject);
    EXPECT_EQ(readOnly->JSONRepresentation(), (QVariantMap {{u"name"_s, u"fixed"_s}}));
}

TEST(QMRESTAPIModelTest, ComparesAndDescribesMappedProperties)
{
    const char *json = R"({"title": "t", "score": 2, "url": "https://example.com",
                           "created_at": "2021-03-04T05:06:07.891Z", "comments": [{"id": 1}]})";
    const auto a = readPost(json);
    const auto b = readPost(json);
    b->comments.clear(); // lists are not compared
    EXPECT_TRUE(a->isEqualToObject(b.get()));
    b->score = 2.5;
    EXPECT_FALSE(a->isEqualToObject(b.get()));
    EXPECT_FALSE(a->isEqualToObject(nullptr));
    const Author author;
    EXPECT_FALSE(a->isEqualToObject(&author));
    // A property that is none here is not compared; one that is none there is unequal.
    const auto empty = readPost("{}");
    EXPECT_FALSE(a->isEqualToObject(empty.get()));

    // The description lists the mapped properties by name; later mappings with the same name win.
    EXPECT_TRUE(a->description().contains(u" title: t,"_s)) << a->description().toStdString();
    const auto byModel
            = QMRESTAPIModel::propertyMappingsByModelPropertyName(&Post::staticMetaObject);
    EXPECT_EQ(byModel.size(), 15);
    EXPECT_EQ(byModel.value(u"dotted"_s, QMRESTAPIModelPropertyMapping(u"x"_s, u"x"_s)).separator(),
              u"/"_s);
}

#include "ModelMappingTest.moc"
