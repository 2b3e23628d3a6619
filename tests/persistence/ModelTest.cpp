#include "PersistenceTestSupport.h"
#include "support/Failures.h"

#include "QMFoundation/persistence/QMEntityBuilder_p.h"
#include <QMFoundation/persistence/QMManagedObjectID.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <limits>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray modelWith(const QByteArray &attributes, const QByteArray &entityName = "Person")
{
    return R"({"name": "M", "entities": [{"name": ")" + entityName + R"(", "attributes": [)"
            + attributes + "]}]}";
}

} // namespace

TEST(ManagedObjectModel, ReadsGoodModelsAndNamesWhatIsWrongInBadOnes)
{
    struct Row
    {
        const char *label;
        QByteArray json;
        const char *message; // empty: the model loads
    };
    const Row rows[] = {
            // Accepted: every type with a fitting default, flags, no attributes at all.
            {"every type", peopleModelJSON(), ""},
            {"date and binary defaults",
             modelWith(R"({"name": "d", "type": "date", "default": "2020-02-03T04:05:06.007Z"},
                          {"name": "b", "type": "binary", "default": "AAEC"})"),
             ""},
            {"no attributes", R"({"name": "M", "entities": [{"name": "Empty"}]})", ""},
            {"null default", modelWith(R"({"name": "x", "type": "integer", "default": null})"), ""},
            // Not a model at all.
            {"not JSON", "{\"name\": ", "not JSON"},
            {"an array", "[]", "not a JSON object"},
            {"no name", R"({"entities": []})", "the model has no name"},
            {"fractional version", R"({"name": "M", "version": 1.5, "entities": []})", "version"},
            {"no entity list", R"({"name": "M"})", "no list of entities"},
            // Entities.
            {"entity not an object", R"({"name": "M", "entities": [3]})", "entity 0 is not"},
            {"entity without name", R"({"name": "M", "entities": [{}]})", "entity 0 has no name"},
            {"entity name with space", modelWith("", "Per son"),
             "entity \"Per son\": the name is not an identifier"},
            {"entity name reserved", modelWith("", "qm_meta"), "the name is reserved"},
            {"entity name too long", modelWith("", QByteArray(65, 'a')), "longer than 64"},
            {"duplicate entity by case",
             R"({"name": "M", "entities": [{"name": "Note"}, {"name": "note"}]})",
             "entity \"note\" is defined twice"},
            // Attributes.
            {"unknown type", modelWith(R"({"name": "x", "type": "decimal"})"),
             "entity \"Person\", attribute \"x\": unknown type \"decimal\""},
            {"attribute without name", modelWith(R"({"type": "string"})"),
             "attribute 0 has no name"},
            {"attribute objectID", modelWith(R"({"name": "objectID", "type": "string"})"),
             "attribute \"objectID\": the name is reserved"},
            {"attribute starting with a digit", modelWith(R"({"name": "1x", "type": "string"})"),
             "not an identifier"},
            {"duplicate attribute",
             modelWith(R"({"name": "x", "type": "string"}, {"name": "X", "type": "integer"})"),
             "attribute \"X\": defined twice"},
            {"optional not a boolean",
             modelWith(R"({"name": "x", "type": "string", "optional": "no"})"),
             "\"optional\" is not true or false"},
            {"text default of an integer",
             modelWith(R"({"name": "x", "type": "integer", "default": "3"})"),
             "attribute \"x\": the default does not fit the type integer"},
            {"fractional default of an integer",
             modelWith(R"({"name": "x", "type": "integer", "default": 3.5})"),
             "does not fit the type integer"},
            {"bad date default", modelWith(R"({"name": "x", "type": "date", "default": "soon"})"),
             "does not fit the type date"},
            {"bad Base64 default", modelWith(R"({"name": "x", "type": "binary", "default": "**"})"),
             "does not fit the type binary"},
            {"renaming identifier", modelWith(R"({"name": "x", "type": "string",
                                                  "renamingIdentifier": "old"})"),
             ""},
            {"renaming identifier not a name",
             modelWith(R"({"name": "x", "type": "string", "renamingIdentifier": "a b"})"),
             "attribute \"x\": the renaming identifier is not an attribute name"},
            {"two attributes renamed from one",
             modelWith(R"({"name": "x", "type": "string", "renamingIdentifier": "old"},
                          {"name": "y", "type": "string", "renamingIdentifier": "old"})"),
             "attribute \"y\": another attribute has the same renaming identifier"},
            // Several versions.
            {"versions", R"({"name": "M", "currentVersion": "a", "versions": [
                 {"versionName": "a", "entities": []}, {"versionName": "b", "entities": []}]})",
             ""},
            {"no versions", R"({"name": "M", "versions": []})",
             "the versions are not a list of models"},
            {"version not an object", R"({"name": "M", "versions": [1]})",
             "version 0 is not an object"},
            {"version without a name", R"({"name": "M", "versions": [{"entities": []}]})",
             "version 0 has no version name"},
            {"version of another model",
             R"({"name": "M", "versions": [{"name": "N", "versionName": "1", "entities": []}]})",
             "version 0 has another model name"},
            {"bad entity in a version", R"({"name": "M", "versions": [
                 {"versionName": "1", "entities": [{"name": "qm_x"}]}]})",
             "version \"1\": entity \"qm_x\": the name is reserved"},
            {"duplicate version", R"({"name": "M", "versions": [
                 {"versionName": "1", "entities": []}, {"versionName": "1", "entities": []}]})",
             "version \"1\" is defined twice"},
            {"unknown current version", R"({"name": "M", "currentVersion": "9", "versions": [
                 {"versionName": "1", "entities": []}]})",
             "the current version \"9\" is not one of the versions"},
            {"too many versions",
             []() -> QByteArray {
                 QByteArray json = R"({"name": "M", "versions": [)";
                 for (int i = 0; i <= 1000; ++i)
                     json += (i ? "," : "") + QByteArray(R"({"versionName": "v)")
                             + QByteArray::number(i) + R"(", "entities": []})";
                 return json + "]}";
             }(),
             "the model has more than 1000 versions"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        QMError error;
        const auto model = QMManagedObjectModel::modelWithJSON(row.json, &error);
        if (!*row.message) {
            ASSERT_TRUE(model) << error.localizedDescription().toStdString();
            // The JSON the model writes reads back to the same model.
            const auto again = QMManagedObjectModel::modelWithJSON(model->toJSON(), &error);
            ASSERT_TRUE(again);
            EXPECT_EQ(again->versionHash(), model->versionHash());
            EXPECT_EQ(again->toJSON(), model->toJSON());
            continue;
        }
        EXPECT_FALSE(model);
        EXPECT_EQ(error.domain(), QMPersistenceErrorDomain);
        EXPECT_EQ(error.code(), QMManagedObjectModelInvalidError);
        EXPECT_TRUE(error.localizedDescription().contains(QString::fromUtf8(row.message)))
                << error.localizedDescription().toStdString();
    }
}

TEST(ManagedObjectModel, HashFollowsTheSchemaAndModelsLoadFromFilesAndDirectories)
{
    const auto people = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    ASSERT_TRUE(people);
    EXPECT_EQ(people->name(), u"People"_s);
    EXPECT_EQ(people->version(), 1);
    ASSERT_TRUE(people->entityForName(u"Person"_s));
    EXPECT_EQ(people->entityForName(u"Person"_s)->attributeNames(),
              QStringList({u"name"_s, u"age"_s, u"score"_s, u"active"_s, u"born"_s, u"photo"_s}));
    EXPECT_EQ(people->entityForName(u"Person"_s)->attributes().at(1).defaultValue,
              QVariant(qint64(0)));

    // Order, defaults and indexes leave the hash alone; types, names and optionality do not.
    struct Row
    {
        const char *label;
        QByteArray a, b;
        bool same;
    };
    const Row rows[] = {
            {"attribute order",
             modelWith(R"({"name": "a", "type": "string"}, {"name": "b", "type": "integer"})"),
             modelWith(R"({"name": "b", "type": "integer"}, {"name": "a", "type": "string"})"),
             true},
            {"default and index", modelWith(R"({"name": "a", "type": "integer"})"),
             modelWith(R"({"name": "a", "type": "integer", "default": 4, "indexed": true})"), true},
            {"type", modelWith(R"({"name": "a", "type": "integer"})"),
             modelWith(R"({"name": "a", "type": "double"})"), false},
            {"optional", modelWith(R"({"name": "a", "type": "integer"})"),
             modelWith(R"({"name": "a", "type": "integer", "optional": false})"), false},
            {"entity name", modelWith(R"({"name": "a", "type": "integer"})"),
             modelWith(R"({"name": "a", "type": "integer"})", "Other"), false},
            {"renaming identifier", modelWith(R"({"name": "a", "type": "integer"})"),
             modelWith(R"({"name": "a", "type": "integer", "renamingIdentifier": "b"})"), true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const auto a = QMManagedObjectModel::modelWithJSON(row.a);
        const auto b = QMManagedObjectModel::modelWithJSON(row.b);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->versionHash() == b->versionHash(), row.same);
        const QMEntityDescription &entityA = a->entities().constFirst();
        const QMEntityDescription &entityB = b->entities().constFirst();
        EXPECT_EQ(entityA.versionHash() == entityB.versionHash(), row.same);
        EXPECT_EQ(a->entityVersionHashes().value(entityA.name()), entityA.versionHash());
    }
    // Stores record the hash: it must stay what earlier releases computed.
    EXPECT_EQ(people->versionHash().toHex(),
              QByteArray("25e6e7c4f84b729903dcc76ea17875dd8290bc8787d21dd6118f48322b572c7e"));

    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(u"People.momd"_s));
    for (const QString &path :
         {dir.filePath(u"People.json"_s), dir.filePath(u"People.momd/model.json"_s)}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(peopleModelJSON());
    }
    for (const QString &path : {dir.filePath(u"People.json"_s), dir.filePath(u"People.momd"_s)}) {
        SCOPED_TRACE(path.toStdString());
        const auto model = QMManagedObjectModel::modelWithContentsOfURL(QUrl::fromLocalFile(path));
        ASSERT_TRUE(model);
        EXPECT_EQ(model->versionHash(), people->versionHash());
    }
    QMError error;
    EXPECT_FALSE(QMManagedObjectModel::modelWithContentsOfURL(
            QUrl::fromLocalFile(dir.filePath(u"missing.momd"_s)), &error));
    EXPECT_EQ(error.code(), QMFileReadUnknownError);
}

namespace {

class NotAnObject : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE NotAnObject() = default;
};

class NoConstructor : public QMManagedObject
{
    Q_OBJECT
};

} // namespace

TEST(ManagedObjectModel, RegistryRefusesClassesItCannotMakeAndIDsReadBack)
{
    EXPECT_EQ(TestSupport::failureOf(
                      [] { QMRegisterManagedObjectClass(&NotAnObject::staticMetaObject); }),
              u"The class NotAnObject is not a QMManagedObject subclass"_s);
    EXPECT_EQ(TestSupport::failureOf(
                      [] { QMRegisterManagedObjectClass(&NoConstructor::staticMetaObject); }),
              u"The class NoConstructor has no Q_INVOKABLE constructor without arguments"_s);
    EXPECT_EQ(QMManagedObjectClassForEntityName(u"NoConstructor"_s), nullptr);
    QMRegisterManagedObjectClass(&Person::staticMetaObject);
    EXPECT_EQ(QMManagedObjectClassForEntityName(u"Person"_s), &Person::staticMetaObject);

    const QString store = u"0F9D5C2A-1B2C-4D3E-8F90-A1B2C3D4E5F6"_s;
    const QMManagedObjectID id(store, u"Person"_s, 42);
    EXPECT_EQ(id.URIRepresentation().toString(),
              u"x-qmstore://"_s + store.toLower() + u"/Person/p42"_s);
    EXPECT_EQ(QMManagedObjectID::fromURIRepresentation(id.URIRepresentation()), id);
    EXPECT_TRUE(QMManagedObjectID().URIRepresentation().isEmpty());
    for (const char *bad : {"x-qmstore://S/Person/42", "x-qmstore://S/Person/p0",
                            "x-qmstore://S/Person/p01", "x-qmstore://S/p1", "http://S/Person/p1",
                            "x-qmstore:///Person/p1", "x-qmstore://S/Person/p1?x"}) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(
                QMManagedObjectID::fromURIRepresentation(QUrl(QString::fromUtf8(bad))).isNull());
    }
}

// Values convert to their attribute's type only where nothing is lost; a value every store could
// not keep alike (NaN, infinity) is refused, since SQLite would keep it as no value at all.
TEST(ManagedObjectModel, ValuesConvertToTheirAttributeTypeWithoutLoss)
{
    using T = QMAttributeType;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const QDateTime epoch = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    struct Row
    {
        T type;
        QVariant given;
        QVariant expected; // invalid: refused
    } rows[] = {
            {T::String, u"x"_s, u"x"_s},
            {T::String, 5, {}},
            {T::Integer, 3.0, qint64(3)},
            {T::Integer, 3.5, {}},
            {T::Integer, u" 42 "_s, qint64(42)},
            {T::Integer, 9223372036854775808.0, {}},
            {T::Integer, quint64(1) << 63, {}},
            {T::Integer, true, qint64(1)},
            {T::Double, u"2.5"_s, 2.5},
            {T::Double, nan, {}},
            {T::Double, -infinity, {}},
            {T::Double, float(infinity), {}},
            {T::Double, u"inf"_s, {}},
            {T::Boolean, u"YES"_s, true},
            {T::Boolean, 0, false},
            {T::Boolean, 2, {}},
            {T::Date, u"1970-01-01T00:00:00Z"_s, epoch},
            {T::Date, u"1970-01-01T01:00:00+01:00"_s, epoch},
            {T::Date, u"yesterday"_s, {}},
            {T::Binary, QByteArray("\0x", 2), QByteArray("\0x", 2)},
            {T::Binary, u"x"_s, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(QString(QMAttributeTypeName(row.type) + u" "_s + row.given.toString())
                             .toStdString());
        const QMAttributeDescription attribute = QMMakeAttributeDescription(u"a"_s, row.type);
        QMError error;
        const QVariant converted = attribute.convertedValue(row.given, &error);
        EXPECT_EQ(converted, row.expected);
        EXPECT_EQ(error.isNull(), row.expected.isValid());
        if (!error.isNull()) {
            EXPECT_EQ(error.code(), QMValidationValueTypeError);
        }
    }
}

#include "ModelTest.moc"
