#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

/// A host's migration of one object: it receives the object's values in the older version (by
/// attribute name; attributes without a value are left out) and returns its values in the
/// newer one. An attribute the result does not name takes its default (or no value); a name the
/// newer entity does not have, or a value that does not convert to its attribute's type, stops
/// the migration. std::nullopt drops the object; std::nullopt with `*error` set stops the
/// migration with that error (under QMUnderlyingErrorKey), and the store stays as it was. It
/// runs inside the migration, on the thread that opens the store, and must not use the store.
using QMEntityMigrationFunction
        = std::function<std::optional<QVariantMap>(const QVariantMap &values, QMError *error)>;

/// The migrations a host gives for the changes between model versions that the library cannot
/// infer, or to rework an entity's values on the way. Pass them to a store with
/// QMModelMigrationsOption:
///
///     QMModelMigrations migrations;
///     migrations.addEntityMigration(u"Person"_s, [](const QVariantMap &old, QMError *) {
///         return std::optional<QVariantMap>({{u"age"_s, qRound(old.value(u"age"_s).toDouble())}});
///     });
///     options.insert(QMModelMigrationsOption, QVariant::fromValue(migrations));
///
/// A copy shares its functions; copies may be used from any thread.
class QMF_STORAGE_EXPORT QMModelMigrations
{
public:
    /// No migrations.
    QMModelMigrations();
    ~QMModelMigrations();
    /// A copy that shares the functions added so far.
    QMModelMigrations(const QMModelMigrations &);
    /// Shares `other`'s functions.
    QMModelMigrations &operator=(const QMModelMigrations &other);

    /// `function` migrates the objects of `entityName` in every step (from one version to the
    /// next) whose changes of the entity cannot be inferred.
    void addEntityMigration(const QString &entityName, QMEntityMigrationFunction function);
    /// `function` migrates the objects of `entityName` in the step from `fromVersion` to
    /// `toVersion` (consecutive versions of the model file), in place of anything inferred.
    void addEntityMigration(const QString &entityName, const QString &fromVersion,
                            const QString &toVersion, QMEntityMigrationFunction function);
    /// The function for the entity in the step from `fromVersion` to `toVersion`: the one given
    /// for the step, else, when `inferable` is false, the one given for the entity; else null.
    QMEntityMigrationFunction functionFor(const QString &entityName, const QString &fromVersion,
                                          const QString &toVersion, bool inferable) const;
    /// Whether no migration was added.
    bool isEmpty() const;

private:
    struct Entry;
    std::shared_ptr<QList<Entry>> m_entries;
};

Q_DECLARE_METATYPE(QMModelMigrations)

/// One change between two consecutive versions of a model.
struct QMF_STORAGE_EXPORT QMModelChange
{
    /// What changes.
    enum Kind {
        EntityAdded, ///< A new entity: its table or list starts empty.
        EntityRemoved, ///< An entity left out: its objects go.
        AttributeAdded, ///< Objects get the attribute's default, or no value.
        AttributeRemoved, ///< The attribute's values go.
        AttributeRenamed, ///< The values move to the new name (its renaming identifier).
        AttributeMadeOptional, ///< Nothing changes in the objects.
        AttributeMadeRequired, ///< Objects without a value get the default.
        AttributeWidened, ///< Integers become doubles, or any value its text.
        IndexAdded, ///< The SQLite store builds an index.
        IndexRemoved, ///< The SQLite store drops an index.
        HostMigration, ///< The host's function makes every object of the entity anew.
    };
    /// What changes.
    Kind kind = EntityAdded;
    /// The name of the step's older version.
    QString fromVersion;
    /// The name of the step's newer version.
    QString toVersion;
    /// The entity that changes.
    QString entity;
    /// The attribute (its new name when renamed); empty for entity changes.
    QString attribute;
    /// A renamed attribute's previous name.
    QString previousName;
    /// A widened attribute's older type; otherwise the attribute's type.
    QMAttributeType from = QMAttributeType::String;
    /// The attribute's type in the newer version.
    QMAttributeType to = QMAttributeType::String;
    /// The value that objects without one get (added, made required); invalid for none.
    QVariant fill;

    /// The change as one line of a plan, such as
    /// "1 -> 2: Person: rename attribute name to fullName".
    QString description() const;
};

/// The steps that bring a store written under one version of a model to a later version of the
/// same model file: for each pair of consecutive versions, every change of every entity.
///
/// Inferred changes: an entity added or removed; an attribute added (optional, or required with
/// a default), removed, made optional, made required with a default (objects without a value
/// get it), renamed (the newer attribute's renamingIdentifier names the older one), widened
/// (integer to double; any type to string, as its text: numbers as in JSON, booleans "true" and
/// "false", dates ISO 8601 in UTC with milliseconds, binary values Base64); an index added or
/// removed. Anything else (a narrowing type change, a required attribute without a default)
/// needs a host migration for the entity; without one the plan fails with
/// QMInferredMappingModelError naming the entity, the attribute and the change.
///
/// Opening a store migrates it (see QMMigratePersistentStoresAutomaticallyOption); a plan shows
/// beforehand what that does.
class QMF_STORAGE_EXPORT QMMigrationPlan
{
public:
    /// The plan from `source` to `destination`, versions of the same model file with `source`
    /// not after `destination`; std::nullopt with QMInferredMappingModelError when a change
    /// cannot be inferred and `migrations` has no function for it, or with
    /// QMPersistentStoreIncompatibleSchemaError for models of different files or a `source`
    /// later than `destination`.
    static std::optional<QMMigrationPlan>
    plan(const std::shared_ptr<const QMManagedObjectModel> &source,
         const std::shared_ptr<const QMManagedObjectModel> &destination,
         const QMModelMigrations &migrations = {}, QMError *error = nullptr);
    /// The plan that opening the store of `storeType` at `storeURL` with `model` would carry
    /// out, read from the store's recorded version without changing it: empty when the store is
    /// at `model`'s version. `options` give the migrations (QMModelMigrationsOption), the
    /// time-out (QMPersistentStoreTimeoutOption) and, for a PostgreSQL store, the password
    /// provider (QMPostgreSQLPasswordProviderOption), asked as when the store is opened; a
    /// PostgreSQL store is read on a read-only connection of its own. Errors as plan(), and those
    /// of reading the store (QMFileReadUnknownError, also for a PostgreSQL schema that holds no
    /// store, ...); an in-memory store has nothing to plan (QMPersistentStoreInvalidTypeError).
    static std::optional<QMMigrationPlan>
    planForStore(const QString &storeType, const QUrl &storeURL,
                 const std::shared_ptr<const QMManagedObjectModel> &model,
                 const QVariantMap &options = {}, QMError *error = nullptr);

    /// An empty plan, between no models.
    QMMigrationPlan();
    ~QMMigrationPlan();
    /// A copy; plans are immutable and share their steps.
    QMMigrationPlan(const QMMigrationPlan &);
    /// Takes `other`'s steps.
    QMMigrationPlan &operator=(const QMMigrationPlan &other);

    /// The version the plan goes from; nullptr for a default-made plan.
    std::shared_ptr<const QMManagedObjectModel> sourceModel() const;
    /// The version the plan goes to; nullptr for a default-made plan.
    std::shared_ptr<const QMManagedObjectModel> destinationModel() const;
    /// Every change, step after step.
    QList<QMModelChange> changes() const;
    /// The changes' description()s.
    QStringList descriptions() const;
    /// Whether the plan changes nothing (the same version, or versions that differ in nothing).
    bool isEmpty() const;

private:
    friend struct QMMigrationPlanAccess;
    class Private;
    std::shared_ptr<const Private> d;
};

/// Store option: whether opening a store written under an earlier version of the model
/// migrates it (a bool; true when not given). False refuses such a store with
/// QMPersistentStoreIncompatibleSchemaError, as a store of another model.
QMF_STORAGE_EXPORT extern const QString
        QMMigratePersistentStoresAutomaticallyOption; // "QMMigratePersistentStoresAutomatically"
/// Store option: whether a migration first keeps a copy of the store file (a bool; true when
/// not given). The copy is the store file's path followed by ".pre-migration", beside it; it
/// stays until QMPersistentStore::removeMigrationBackup() removes it. A PostgreSQL store keeps no
/// copy: its migration is one transaction, and earlier states are the server's backups'.
QMF_STORAGE_EXPORT extern const QString QMMigrationBackupOption; // "QMMigrationBackup"
/// Store option: the host's migrations (a QMModelMigrations in a QVariant).
QMF_STORAGE_EXPORT extern const QString QMModelMigrationsOption; // "QMModelMigrations"
/// The suffix of the copy a migration keeps: ".pre-migration".
QMF_STORAGE_EXPORT extern const QString QMMigrationBackupSuffix;
