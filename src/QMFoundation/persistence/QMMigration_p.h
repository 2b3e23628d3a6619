#pragma once

// The inner form of a migration plan, which the stores carry out: for every step, what each
// changed entity's new values are made of.

#include <QMFoundation/persistence/QMMigrationPlan.h>

#include <QString>
#include <QUrl>
#include <QVariantList>

/// How one attribute of the newer entity gets its values.
struct QMMigrationColumn
{
    enum Conversion { None, ToDouble, ToText };
    /// The attribute's position in the older entity; -1 for an added attribute.
    qsizetype source = -1;
    Conversion conversion = None;
    /// The value given where the older object has none (an added attribute's default, a
    /// required attribute's default); invalid for none.
    QVariant fill;
};

/// One entity in one step.
struct QMMigrationEntityStep
{
    enum Action {
        Add, ///< a new, empty entity
        Remove, ///< the entity and its objects go
        InPlace, ///< attributes added or filled; nothing moves
        Rebuild, ///< every object made anew from its columns
        Host, ///< every object made anew by the host's function
    };
    Action action = InPlace;
    QString name;
    const QMEntityDescription *from = nullptr; // null for Add
    const QMEntityDescription *to = nullptr; // null for Remove
    /// For each attribute of `to` (InPlace, Rebuild).
    QList<QMMigrationColumn> columns;
    QMEntityMigrationFunction host;
};

/// One step of a plan: from one version to the next.
struct QMMigrationStep
{
    std::shared_ptr<const QMManagedObjectModel> from;
    std::shared_ptr<const QMManagedObjectModel> to;
    /// The entities that change, in the newer model's order, then the removed ones.
    QList<QMMigrationEntityStep> entities;
};

/// The steps of a plan, for the stores that carry it out.
struct QMMigrationPlanAccess
{
    static const QList<QMMigrationStep> &steps(const QMMigrationPlan &plan);
};

namespace QMMigration {

/// The text a value becomes when its attribute is widened to a string.
QString textOf(const QVariant &value, QMAttributeType type);

/// The newer values of one object: `keep` false when the host dropped it; false with
/// QMMigrationError when the host stopped the migration or gave values that do not fit.
bool migrateValues(const QMMigrationEntityStep &step, const QVariantList &old, QVariantList *out,
                   bool *keep, QMError *error);

/// The version of `model`'s file a store was written under, by the store's recorded model hash
/// and version name (empty for stores that recorded none): the version of that name when its
/// hash matches, else the current version or the latest earlier one with the hash. nullptr with
/// QMPersistentStoreIncompatibleSchemaError (naming the store at `url`) when no version
/// matches or the store's version is later than `model`'s.
std::shared_ptr<const QMManagedObjectModel>
sourceVersion(const std::shared_ptr<const QMManagedObjectModel> &model, const QString &hashHex,
              const QString &versionName, const QUrl &url, QMError *error);

/// What a store does about a version it was not written under.
struct Settings
{
    bool automatic = true;
    bool backup = true;
    QMModelMigrations migrations;
};
Settings settingsOf(const QVariantMap &options);

/// How a store opening names its store in errors: the file's path for a file URL, the URL
/// without a password for a server's store, "in memory" for an empty URL.
QString storeName(const QUrl &url);

/// QMPersistentStoreIncompatibleSchemaError: "The store STORE was not made for the model MODEL:
/// WHY.", with the URL under QMPersistentStoreURLErrorKey.
QMError incompatible(const QMManagedObjectModel &model, const QUrl &url, const QString &why);

/// The plan that brings a store written under `source` to `destination`, as every store's
/// opening makes it: nullopt with QMPersistentStoreIncompatibleSchemaError when `settings` turn
/// migration off, with QMInferredMappingModelError when a change cannot be inferred.
std::optional<QMMigrationPlan>
planOpening(const Settings &settings, const std::shared_ptr<const QMManagedObjectModel> &source,
            const std::shared_ptr<const QMManagedObjectModel> &destination, const QUrl &url,
            QMError *error);

/// The error of a migration that failed: QMMigrationError, "The store STORE could not be
/// migrated from version A to B: REASON.", with the cause under QMUnderlyingErrorKey. STORE is
/// the file's path (also under QMFilePathErrorKey) for a file URL, the URL without a password
/// for a server's store, "in memory" for an empty URL; a non-empty URL is under
/// QMPersistentStoreURLErrorKey.
QMError failed(const QMMigrationPlan &plan, const QUrl &url, const QString &reason,
               const QMError &underlying = QMError());

} // namespace QMMigration
