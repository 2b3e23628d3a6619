// Reads arbitrary bytes as a compiled object model and checks that
//  - nothing crashes: bytes that are not a model fail with QMManagedObjectModelInvalidError;
//  - an accepted model writes JSON (toJSON()) that reads back to a model with the same version
//    hash, the same entities and attributes (names, types, flags, defaults), and the same JSON;
//  - each of its versions (the first eight) is found by its name, and the migration plans from
//    each of them to every later one agree with the plans of one step: a plan fails with
//    QMInferredMappingModelError exactly when one of its steps does, and otherwise lists their
//    changes in order; with a host migration for every entity every plan succeeds; a plan
//    backwards fails, and a plan from a version to itself changes nothing.

#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMMigrationPlan.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QByteArray>
#include <QSet>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameAttributes(const QMEntityDescription &a, const QMEntityDescription &b)
{
    if (a.name() != b.name() || a.attributes().size() != b.attributes().size())
        return false;
    for (qsizetype i = 0; i < a.attributes().size(); ++i) {
        const QMAttributeDescription &x = a.attributes().at(i);
        const QMAttributeDescription &y = b.attributes().at(i);
        if (x.name != y.name || x.type != y.type || x.optional != y.optional
            || x.indexed != y.indexed || x.defaultValue != y.defaultValue)
            return false;
    }
    return true;
}

using Version = std::shared_ptr<const QMManagedObjectModel>;

// The versions read past this many are left out: the plans between them grow as its square.
constexpr qsizetype checkedVersions = 8;

// A plan from versions[from] to versions[to], checked against what it must hold; its changes'
// descriptions, or std::nullopt when it cannot be inferred.
std::optional<QStringList> checkedPlan(const std::vector<Version> &versions, qsizetype from,
                                       qsizetype to, const QMModelMigrations &migrations)
{
    QMError error;
    const auto plan = QMMigrationPlan::plan(versions.at(size_t(from)), versions.at(size_t(to)),
                                            migrations, &error);
    if (!plan) {
        require(error.domain() == QMPersistenceErrorDomain);
        require(error.code() == QMInferredMappingModelError);
        require(!error.localizedDescription().isEmpty());
        return std::nullopt;
    }
    require(error.isNull());
    require(plan->sourceModel() == versions.at(size_t(from)));
    require(plan->destinationModel() == versions.at(size_t(to)));
    const QList<QMModelChange> changes = plan->changes();
    const QStringList descriptions = plan->descriptions();
    require(descriptions.size() == changes.size());
    require(plan->isEmpty() == changes.isEmpty());
    const QStringList names = versions.front()->versionNames();
    for (qsizetype i = 0; i < changes.size(); ++i) {
        const QMModelChange &change = changes.at(i);
        const qsizetype step = names.indexOf(change.fromVersion);
        require(step >= from && step < to && names.at(step + 1) == change.toVersion);
        require(descriptions.at(i) == change.description());
        require(descriptions.at(i).startsWith(change.fromVersion + QStringLiteral(" -> ")
                                              + change.toVersion + QStringLiteral(": ")));
    }
    return descriptions;
}

void checkVersions(const Version &model)
{
    const QStringList names = model->versionNames();
    require(!names.isEmpty());
    require(model->versionIndex() >= 0 && model->versionIndex() < names.size());
    require(names.at(model->versionIndex()) == model->versionName());
    require(model->currentVersionName() == model->versionName());

    std::vector<Version> versions;
    QSet<QString> entityNames;
    for (qsizetype i = 0; i < std::min(names.size(), checkedVersions); ++i) {
        Version version = model->modelForVersionName(names.at(i));
        require(version != nullptr);
        require(version->versionIndex() == i && version->versionName() == names.at(i));
        require(version->versionNames() == names && version->name() == model->name());
        require(version->currentVersionName() == model->currentVersionName());
        // A version alone reads back from its JSON as a model of one version.
        const auto alone = QMManagedObjectModel::modelWithJSON(version->toJSON());
        require(alone != nullptr && alone->versionHash() == version->versionHash());
        for (const QMEntityDescription &entity : version->entities())
            entityNames.insert(entity.name());
        versions.push_back(std::move(version));
    }
    const auto count = qsizetype(versions.size());

    QMModelMigrations hosted;
    for (const QString &name : std::as_const(entityNames))
        hosted.addEntityMigration(name, [](const QVariantMap &values, QMError *) {
            return std::optional<QVariantMap>(values);
        });
    std::vector<std::optional<QStringList>> steps;
    for (qsizetype i = 0; i + 1 < count; ++i)
        steps.push_back(checkedPlan(versions, i, i + 1, {}));
    for (qsizetype from = 0; from < count; ++from) {
        const auto same = checkedPlan(versions, from, from, {});
        require(same && same->isEmpty());
        for (qsizetype to = from + 1; to < count; ++to) {
            std::optional<QStringList> expected = QStringList();
            for (qsizetype i = from; i < to && expected; ++i) {
                if (steps.at(size_t(i)))
                    expected->append(*steps.at(size_t(i)));
                else
                    expected.reset();
            }
            require(checkedPlan(versions, from, to, {}) == expected);
            require(checkedPlan(versions, from, to, hosted).has_value());
            QMError error;
            require(!QMMigrationPlan::plan(versions.at(size_t(to)), versions.at(size_t(from)), {},
                                           &error));
            require(error.code() == QMPersistentStoreIncompatibleSchemaError);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QMError error;
    const auto model = QMManagedObjectModel::modelWithJSON(bytes, &error);
    if (!model) {
        require(error.domain() == QMPersistenceErrorDomain);
        require(error.code() == QMManagedObjectModelInvalidError);
        require(!error.localizedDescription().isEmpty());
        return 0;
    }
    const QByteArray json = model->toJSON();
    QMError again;
    const auto reread = QMManagedObjectModel::modelWithJSON(json, &again);
    require(reread != nullptr);
    require(reread->versionHash() == model->versionHash());
    require(reread->name() == model->name() && reread->version() == model->version());
    require(reread->entities().size() == model->entities().size());
    for (qsizetype i = 0; i < model->entities().size(); ++i) {
        require(sameAttributes(model->entities().at(i), reread->entities().at(i)));
        require(reread->entityForName(model->entities().at(i).name()) != nullptr);
    }
    require(reread->toJSON() == json);
    checkVersions(model);
    return 0;
}
