// Migrations between versions whose entity and attribute names differ only in case. SQLite's
// table and column names ignore case, so an entity removed and another added under the same
// name in another case are one table to it: the migration must drop the old one before it
// makes the new one, not after.

#include "PersistenceTestSupport.h"

#include <QMFoundation/persistence/QMMigrationPlan.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

struct CaseChange
{
    const char *name;
    // Version "1" and version "2" of an entity (its name and attributes, as model JSON).
    const char *first;
    const char *second;
    // The entity and attribute the objects are read through in version "2", and the value the
    // one saved in version "1" has there ("" when the object goes with its entity).
    const char *entity;
    const char *attribute;
    const char *migratedValue;
};

const CaseChange caseChanges[] = {
        {"EntityRenamedInCase",
         R"({"name": "Foo", "attributes": [{"name": "x", "type": "string"}]})",
         R"({"name": "foo", "attributes": [{"name": "x", "type": "string", "indexed": true}]})",
         "foo", "x", ""},
        {"EntityRenamedInCaseWithOtherAttributes",
         R"({"name": "Item", "attributes": [{"name": "x", "type": "string"}]})",
         R"({"name": "ITEM", "attributes": [{"name": "y", "type": "integer"}]})", "ITEM", "y", ""},
        {"AttributeRenamedInCase",
         R"({"name": "Foo", "attributes": [{"name": "x", "type": "string"}]})",
         R"({"name": "Foo", "attributes": [{"name": "X", "type": "string",
                                            "renamingIdentifier": "x"}]})",
         "Foo", "X", "old"},
};

void PrintTo(const CaseChange &change, std::ostream *os)
{
    *os << change.name;
}

QByteArray modelJSON(const CaseChange &change)
{
    return QByteArray(R"({"name": "Cases", "versions": [{"versionName": "1", "entities": [)")
            + change.first + R"(]}, {"versionName": "2", "entities": [)" + change.second + "]}]}";
}

class MigrationNamesTest : public ::testing::TestWithParam<std::tuple<QString, CaseChange>>
{ };

} // namespace

TEST_P(MigrationNamesTest, NamesChangedOnlyInCaseMigrateToAWorkingStore)
{
    const auto &[type, change] = GetParam();
    const auto model = QMManagedObjectModel::modelWithJSON(modelJSON(change));
    ASSERT_TRUE(model);
    const auto first = model->modelForVersionName(u"1"_s);
    const QString firstEntity = first->entities().at(0).name();
    const QString firstAttribute = first->entities().at(0).attributes().at(0).name;
    QTemporaryDir dir;
    const QUrl url = QUrl::fromLocalFile(dir.filePath(u"cases.store"_s));
    QMError error;
    {
        auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(first);
        ASSERT_TRUE(coordinator->addPersistentStoreWithType(type, {}, url, {}, &error))
                << error.localizedDescription().toStdString();
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
        context->insertNewObjectForEntityForName(firstEntity)->setValue(firstAttribute, u"old"_s);
        ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
    }

    const QString entity = QString::fromUtf8(change.entity);
    const QString attribute = QString::fromUtf8(change.attribute);
    for (int opening = 0; opening < 2; ++opening) {
        SCOPED_TRACE(opening == 0 ? "migrating" : "opening again");
        auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        ASSERT_TRUE(coordinator->addPersistentStoreWithType(type, {}, url, {}, &error))
                << error.localizedDescription().toStdString();
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
        QStringList values;
        for (const auto &object : context->executeFetchRequest(QMFetchRequest(entity), &error))
            values.append(object->value(attribute).toString());
        EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
        if (opening == 0) {
            EXPECT_EQ(values,
                      *change.migratedValue ? QStringList {QString::fromUtf8(change.migratedValue)}
                                            : QStringList());
            // The migrated store takes new objects of the entity.
            const QVariant value = model->entityForName(entity)->attributes().at(0).type
                            == QMAttributeType::Integer
                    ? QVariant(7)
                    : QVariant(u"new"_s);
            context->insertNewObjectForEntityForName(entity)->setValue(attribute, value);
            EXPECT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
        } else {
            EXPECT_EQ(values.size(), *change.migratedValue ? 2 : 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FileStores, MigrationNamesTest,
                         ::testing::Combine(::testing::Values(QMSQLiteStoreType, QMXMLStoreType),
                                            ::testing::ValuesIn(caseChanges)),
                         [](const auto &instance) {
                             return std::get<0>(instance.param).toStdString() + "_"
                                     + std::get<1>(instance.param).name;
                         });
