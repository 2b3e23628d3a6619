// Migration plans: what changed between consecutive versions of a model, and how each changed
// entity's objects are made in the newer version.

#include <QMFoundation/persistence/QMMigrationPlan.h>

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QDateTime>
#include <QLocale>
#include <QSet>

using namespace Qt::StringLiterals;

const QString QMMigratePersistentStoresAutomaticallyOption
        = u"QMMigratePersistentStoresAutomatically"_s;
const QString QMMigrationBackupOption = u"QMMigrationBackup"_s;
const QString QMModelMigrationsOption = u"QMModelMigrations"_s;
const QString QMMigrationBackupSuffix = u".pre-migration"_s;

// Host migrations.

struct QMModelMigrations::Entry
{
    QString entity;
    QString from; // both empty: every step that cannot be inferred
    QString to;
    QMEntityMigrationFunction function;
};

QMModelMigrations::QMModelMigrations()
    : m_entries(std::make_shared<QList<Entry>>())
{ }

QMModelMigrations::~QMModelMigrations() = default;
QMModelMigrations::QMModelMigrations(const QMModelMigrations &) = default;
QMModelMigrations &QMModelMigrations::operator=(const QMModelMigrations &) = default;

void QMModelMigrations::addEntityMigration(const QString &entityName,
                                           QMEntityMigrationFunction function)
{
    addEntityMigration(entityName, QString(), QString(), std::move(function));
}

void QMModelMigrations::addEntityMigration(const QString &entityName, const QString &fromVersion,
                                           const QString &toVersion,
                                           QMEntityMigrationFunction function)
{
    if (!function)
        return;
    // Copies share the list until one of them adds to it.
    if (m_entries.use_count() > 1)
        m_entries = std::make_shared<QList<Entry>>(*m_entries);
    m_entries->append({entityName, fromVersion, toVersion, std::move(function)});
}

QMEntityMigrationFunction QMModelMigrations::functionFor(const QString &entityName,
                                                         const QString &fromVersion,
                                                         const QString &toVersion,
                                                         bool inferable) const
{
    QMEntityMigrationFunction general;
    for (const Entry &entry : std::as_const(*m_entries)) {
        if (entry.entity != entityName)
            continue;
        if (entry.from.isEmpty() && entry.to.isEmpty()) {
            if (!general)
                general = entry.function;
        } else if (entry.from == fromVersion && entry.to == toVersion) {
            return entry.function;
        }
    }
    return inferable ? QMEntityMigrationFunction() : general;
}

bool QMModelMigrations::isEmpty() const
{
    return m_entries->isEmpty();
}

// Changes.

QString QMModelChange::description() const
{
    const QString step = u"%1 -> %2: "_s.arg(fromVersion, toVersion);
    const QString fillText = fill.isValid() ? u" (objects without a value get %1)"_s.arg(
                                     QMMigration::textOf(fill, to).replace(u'\n', u' '))
                                            : QString();
    switch (kind) {
    case EntityAdded:
        return step + u"add entity %1"_s.arg(entity);
    case EntityRemoved:
        return step + u"remove entity %1 and its objects"_s.arg(entity);
    case AttributeAdded:
        return step + u"%1: add attribute %2 (%3)"_s.arg(entity, attribute, QMAttributeTypeName(to))
                + fillText;
    case AttributeRemoved:
        return step + u"%1: remove attribute %2 and its values"_s.arg(entity, attribute);
    case AttributeRenamed:
        return step + u"%1: rename attribute %2 to %3"_s.arg(entity, previousName, attribute);
    case AttributeMadeOptional:
        return step + u"%1: make attribute %2 optional"_s.arg(entity, attribute);
    case AttributeMadeRequired:
        return step + u"%1: make attribute %2 required"_s.arg(entity, attribute) + fillText;
    case AttributeWidened:
        return step
                + u"%1: widen attribute %2 from %3 to %4"_s.arg(
                        entity, attribute, QMAttributeTypeName(from), QMAttributeTypeName(to));
    case IndexAdded:
        return step + u"%1: add index on %2"_s.arg(entity, attribute);
    case IndexRemoved:
        return step + u"%1: remove index on %2"_s.arg(entity, attribute);
    case HostMigration:
        return step + u"%1: migrate every object with the host's migration"_s.arg(entity);
    }
    return step;
}

// Plans.

class QMMigrationPlan::Private
{
public:
    std::shared_ptr<const QMManagedObjectModel> source;
    std::shared_ptr<const QMManagedObjectModel> destination;
    QList<QMMigrationStep> steps;
    QList<QMModelChange> changes;
};

namespace {

bool widens(QMAttributeType from, QMAttributeType to)
{
    return (from == QMAttributeType::Integer && to == QMAttributeType::Double)
            || to == QMAttributeType::String;
}

// The changes of one entity present in both versions, and how its objects are made; the
// problems that cannot be inferred go to `problems`.
void compareEntity(const QMEntityDescription &from, const QMEntityDescription &to,
                   QMModelChange base, QMMigrationEntityStep *step, QList<QMModelChange> *changes,
                   QStringList *problems)
{
    const auto change = [&](QMModelChange::Kind kind, const QMAttributeDescription &attribute) {
        QMModelChange c = base;
        c.kind = kind;
        c.attribute = attribute.name;
        c.to = attribute.type;
        c.from = attribute.type;
        return c;
    };
    QList<bool> used(from.attributes().size(), false);
    // An older attribute that a newer one was renamed from is that one's; a newer attribute
    // that takes its name is a new one.
    QSet<QString> renamed;
    for (const QMAttributeDescription &b : to.attributes()) {
        if (!b.renamingIdentifier.isEmpty() && b.renamingIdentifier != b.name
            && from.indexOfAttribute(b.renamingIdentifier) >= 0)
            renamed.insert(b.renamingIdentifier);
    }
    bool moves = false; // whether the objects must be made anew
    for (const QMAttributeDescription &b : to.attributes()) {
        QMMigrationColumn column;
        qsizetype source = -1;
        if (!b.renamingIdentifier.isEmpty())
            source = from.indexOfAttribute(b.renamingIdentifier);
        if (source < 0 && !renamed.contains(b.name))
            source = from.indexOfAttribute(b.name);
        const QString where = u"entity \"%1\", attribute \"%2\""_s.arg(to.name(), b.name);
        if (source < 0) {
            if (!b.optional && !b.defaultValue.isValid())
                problems->append(where + u": a required attribute is added without a default"_s);
            QMModelChange c = change(QMModelChange::AttributeAdded, b);
            c.fill = b.defaultValue;
            changes->append(c);
            column.fill = b.defaultValue;
            if (b.indexed)
                changes->append(change(QMModelChange::IndexAdded, b));
            step->columns.append(column);
            continue;
        }
        const QMAttributeDescription &a = from.attributes().at(source);
        used[source] = true;
        column.source = source;
        if (a.name != b.name) {
            QMModelChange c = change(QMModelChange::AttributeRenamed, b);
            c.previousName = a.name;
            changes->append(c);
            moves = true;
        }
        if (a.type != b.type) {
            if (widens(a.type, b.type)) {
                QMModelChange c = change(QMModelChange::AttributeWidened, b);
                c.from = a.type;
                changes->append(c);
                column.conversion = b.type == QMAttributeType::String ? QMMigrationColumn::ToText
                                                                      : QMMigrationColumn::ToDouble;
                moves = true;
            } else {
                problems->append(where
                                 + u": the type changes from %1 to %2, which can lose "
                                   u"information"_s.arg(QMAttributeTypeName(a.type),
                                                        QMAttributeTypeName(b.type)));
            }
        }
        if (a.optional && !b.optional) {
            if (!b.defaultValue.isValid())
                problems->append(where + u": it is made required without a default"_s);
            QMModelChange c = change(QMModelChange::AttributeMadeRequired, b);
            c.fill = b.defaultValue;
            changes->append(c);
            column.fill = b.defaultValue;
        } else if (!a.optional && b.optional) {
            changes->append(change(QMModelChange::AttributeMadeOptional, b));
        }
        if (a.indexed != b.indexed)
            changes->append(
                    change(b.indexed ? QMModelChange::IndexAdded : QMModelChange::IndexRemoved, b));
        step->columns.append(column);
    }
    for (qsizetype i = 0; i < from.attributes().size(); ++i) {
        if (used.at(i))
            continue;
        changes->append(change(QMModelChange::AttributeRemoved, from.attributes().at(i)));
        moves = true;
    }
    step->action = moves ? QMMigrationEntityStep::Rebuild : QMMigrationEntityStep::InPlace;
}

QMError planError(qint64 code, const QString &message)
{
    return QMStoreBackends::makeError(code, message);
}

} // namespace

std::optional<QMMigrationPlan>
QMMigrationPlan::plan(const std::shared_ptr<const QMManagedObjectModel> &source,
                      const std::shared_ptr<const QMManagedObjectModel> &destination,
                      const QMModelMigrations &migrations, QMError *error)
{
    if (!source || !destination
        || source->modelForVersionName(destination->versionName()) == nullptr
        || source->versionNames() != destination->versionNames()
        || source->name() != destination->name()
        || source->versionIndex() > destination->versionIndex()) {
        QMSetError(error,
                   planError(QMPersistentStoreIncompatibleSchemaError,
                             u"There is no migration between these models: they are not "
                             u"versions of one model file, oldest first."_s));
        return std::nullopt;
    }
    auto d = std::make_shared<Private>();
    d->source = source;
    d->destination = destination;
    const QStringList names = destination->versionNames();
    for (qsizetype i = source->versionIndex(); i < destination->versionIndex(); ++i) {
        QMMigrationStep step;
        step.from = destination->modelForVersionName(names.at(i));
        step.to = destination->modelForVersionName(names.at(i + 1));
        QMModelChange base;
        base.fromVersion = names.at(i);
        base.toVersion = names.at(i + 1);
        QStringList problems;
        for (const QMEntityDescription &to : step.to->entities()) {
            QMMigrationEntityStep entity;
            entity.name = to.name();
            entity.to = &to;
            entity.from = step.from->entityForName(to.name());
            QMModelChange c = base;
            c.entity = to.name();
            if (!entity.from) {
                entity.action = QMMigrationEntityStep::Add;
                c.kind = QMModelChange::EntityAdded;
                d->changes.append(c);
                for (const QMAttributeDescription &a : to.attributes()) {
                    if (a.indexed) {
                        QMModelChange index = c;
                        index.kind = QMModelChange::IndexAdded;
                        index.attribute = a.name;
                        d->changes.append(index);
                    }
                }
                step.entities.append(entity);
                continue;
            }
            QList<QMModelChange> changes;
            QStringList entityProblems;
            compareEntity(*entity.from, to, c, &entity, &changes, &entityProblems);
            entity.host = migrations.functionFor(to.name(), base.fromVersion, base.toVersion,
                                                 entityProblems.isEmpty());
            if (entity.host) {
                entity.action = QMMigrationEntityStep::Host;
                c.kind = QMModelChange::HostMigration;
                changes.append(c);
            } else {
                problems.append(entityProblems);
            }
            if (changes.isEmpty())
                continue;
            d->changes.append(changes);
            step.entities.append(entity);
        }
        for (const QMEntityDescription &from : step.from->entities()) {
            if (step.to->entityForName(from.name()))
                continue;
            QMMigrationEntityStep entity;
            entity.action = QMMigrationEntityStep::Remove;
            entity.name = from.name();
            entity.from = &from;
            QMModelChange c = base;
            c.kind = QMModelChange::EntityRemoved;
            c.entity = from.name();
            d->changes.append(c);
            step.entities.append(entity);
        }
        if (!problems.isEmpty()) {
            QMSetError(error,
                       planError(QMInferredMappingModelError,
                                 u"The model %1 cannot be migrated from version \"%2\" to \"%3\": "
                                 u"%4; give a migration for the entity."_s.arg(
                                         destination->name(), base.fromVersion, base.toVersion,
                                         problems.join(u"; "_s))));
            return std::nullopt;
        }
        d->steps.append(std::move(step));
    }
    QMMigrationPlan result;
    result.d = std::move(d);
    return result;
}

QMMigrationPlan::QMMigrationPlan()
    : d(std::make_shared<Private>())
{ }

QMMigrationPlan::~QMMigrationPlan() = default;
QMMigrationPlan::QMMigrationPlan(const QMMigrationPlan &) = default;
QMMigrationPlan &QMMigrationPlan::operator=(const QMMigrationPlan &) = default;

std::shared_ptr<const QMManagedObjectModel> QMMigrationPlan::sourceModel() const
{
    return d->source;
}

std::shared_ptr<const QMManagedObjectModel> QMMigrationPlan::destinationModel() const
{
    return d->destination;
}

QList<QMModelChange> QMMigrationPlan::changes() const
{
    return d->changes;
}

QStringList QMMigrationPlan::descriptions() const
{
    QStringList lines;
    for (const QMModelChange &change : d->changes)
        lines.append(change.description());
    return lines;
}

bool QMMigrationPlan::isEmpty() const
{
    return d->changes.isEmpty();
}

const QList<QMMigrationStep> &QMMigrationPlanAccess::steps(const QMMigrationPlan &plan)
{
    return plan.d->steps;
}

std::optional<QMMigrationPlan>
QMMigrationPlan::planForStore(const QString &storeType, const QUrl &storeURL,
                              const std::shared_ptr<const QMManagedObjectModel> &model,
                              const QVariantMap &options, QMError *error)
{
    if (!model
        || (storeType != QMSQLiteStoreType && storeType != QMXMLStoreType
            && storeType != QMPostgreSQLStoreType)) {
        QMSetError(error,
                   planError(QMPersistentStoreInvalidTypeError,
                             storeType == QMInMemoryStoreType
                                     ? u"An in-memory store has no recorded version to plan "
                                       u"from."_s
                                     : u"There is no store of the type \"%1\" to plan for."_s.arg(
                                             storeType)));
        return std::nullopt;
    }
    QString hash;
    QString versionName;
    QMError failure;
    const int timeout = QMStoreBackends::timeoutOf(options);
    bool read = false;
    if (storeType == QMPostgreSQLStoreType) {
        // The password provider is asked as when the store is opened.
        QVariantMap serverOptions;
        read = QMStoreBackends::postgreSQLPassword(storeURL, options, &serverOptions, &failure)
                && QMStoreBackends::readPostgreSQLVersion(storeURL, serverOptions, &hash,
                                                          &versionName, &failure);
    } else if (storeType == QMSQLiteStoreType) {
        read = QMStoreBackends::readSQLiteVersion(storeURL, timeout, &hash, &versionName, &failure);
    } else {
        read = QMStoreBackends::readXMLVersion(storeURL, timeout, &hash, &versionName, &failure);
    }
    if (!read) {
        QMSetError(error, failure);
        return std::nullopt;
    }
    const auto source = QMMigration::sourceVersion(model, hash, versionName, storeURL, error);
    if (!source)
        return std::nullopt;
    return plan(source, model, QMMigration::settingsOf(options).migrations, error);
}

// What the stores share.

QString QMMigration::textOf(const QVariant &value, QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String:
        return value.toString();
    case QMAttributeType::Integer:
        return QString::number(value.toLongLong());
    case QMAttributeType::Double:
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    case QMAttributeType::Boolean:
        return value.toBool() ? u"true"_s : u"false"_s;
    case QMAttributeType::Date:
        return value.toDateTime().toUTC().toString(Qt::ISODateWithMs);
    case QMAttributeType::Binary:
        return QString::fromLatin1(value.toByteArray().toBase64());
    }
    return QString();
}

bool QMMigration::migrateValues(const QMMigrationEntityStep &step, const QVariantList &old,
                                QVariantList *out, bool *keep, QMError *error)
{
    *keep = true;
    const QList<QMAttributeDescription> &attributes = step.to->attributes();
    out->clear();
    out->reserve(attributes.size());
    const QString entity = step.name;
    const auto stop = [&](const QString &reason, const QMError &underlying = QMError()) {
        QVariantMap info;
        if (!underlying.isNull())
            info.insert(QMUnderlyingErrorKey, QVariant::fromValue(underlying));
        *error = QMStoreBackends::makeError(QMMigrationError, reason, info);
        return false;
    };
    if (step.action == QMMigrationEntityStep::Host) {
        QVariantMap values;
        for (qsizetype i = 0; i < step.from->attributes().size(); ++i) {
            if (!QMPersistenceValue::isAbsent(old.value(i)))
                values.insert(step.from->attributes().at(i).name, old.value(i));
        }
        QMError hostError;
        std::optional<QVariantMap> result;
        try {
            result = step.host(values, &hostError);
        } catch (...) {
            return stop(u"the migration of %1 threw an exception"_s.arg(entity));
        }
        if (!result) {
            if (!hostError.isNull())
                return stop(u"the migration of %1 stopped: %2"_s.arg(
                                    entity, hostError.localizedDescription()),
                            hostError);
            *keep = false;
            return true;
        }
        for (auto it = result->cbegin(); it != result->cend(); ++it) {
            if (step.to->indexOfAttribute(it.key()) < 0)
                return stop(u"the migration of %1 gave a value for %2, which the entity does "
                            u"not have"_s.arg(entity, it.key()));
        }
        for (const QMAttributeDescription &a : attributes) {
            const auto found = result->constFind(a.name);
            QVariant value = found == result->cend() ? a.defaultValue : found.value();
            QMError refused;
            value = a.convertedValue(value, &refused);
            if (!refused.isNull())
                return stop(u"the migration of %1 gave %2 a value that does not fit: %3"_s.arg(
                                    entity, a.name, refused.localizedDescription()),
                            refused);
            if (!a.optional && QMPersistenceValue::isAbsent(value))
                return stop(
                        u"the migration of %1 gave no value for the required attribute %2"_s.arg(
                                entity, a.name));
            out->append(value);
        }
        return true;
    }
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        const QMMigrationColumn &column = step.columns.at(i);
        QVariant value = column.source < 0 ? QVariant() : old.value(column.source);
        if (QMPersistenceValue::isAbsent(value)) {
            value = column.fill;
        } else if (column.conversion == QMMigrationColumn::ToDouble) {
            value = double(value.toLongLong());
        } else if (column.conversion == QMMigrationColumn::ToText) {
            value = textOf(value, step.from->attributes().at(column.source).type);
        }
        out->append(value);
    }
    return true;
}

std::shared_ptr<const QMManagedObjectModel>
QMMigration::sourceVersion(const std::shared_ptr<const QMManagedObjectModel> &model,
                           const QString &hashHex, const QString &versionName, const QUrl &url,
                           QMError *error)
{
    const QByteArray hash = QByteArray::fromHex(hashHex.toLatin1());
    const auto incompatible = [&](const QString &why) {
        QMSetError(error, QMMigration::incompatible(*model, url, why));
        return nullptr;
    };
    std::shared_ptr<const QMManagedObjectModel> found;
    const auto named = versionName.isEmpty() ? nullptr : model->modelForVersionName(versionName);
    if (named && named->versionHash() == hash) {
        found = named;
    } else if (model->versionHash() == hash) {
        found = model->modelForVersionName(model->versionName());
    } else {
        // A store that recorded no version (or one the file no longer holds): the latest earlier
        // version that stores objects alike.
        const QStringList names = model->versionNames();
        for (qsizetype i = model->versionIndex() - 1; i >= 0 && !found; --i) {
            const auto candidate = model->modelForVersionName(names.at(i));
            if (candidate->versionHash() == hash)
                found = candidate;
        }
    }
    if (found && found->versionIndex() <= model->versionIndex())
        return found;
    if (named && named->versionIndex() > model->versionIndex())
        return incompatible(u"it was written under the later version \"%1\""_s.arg(versionName));
    return incompatible(u"its model version differs"_s);
}

QMMigration::Settings QMMigration::settingsOf(const QVariantMap &options)
{
    Settings settings;
    settings.automatic = options.value(QMMigratePersistentStoresAutomaticallyOption, true).toBool();
    settings.backup = options.value(QMMigrationBackupOption, true).toBool();
    const QVariant migrations = options.value(QMModelMigrationsOption);
    if (migrations.canConvert<QMModelMigrations>())
        settings.migrations = migrations.value<QMModelMigrations>();
    return settings;
}

QMError QMMigration::failed(const QMMigrationPlan &plan, const QUrl &url, const QString &reason,
                            const QMError &underlying)
{
    QVariantMap info;
    const QString store = storeName(url);
    if (url.isLocalFile())
        info.insert(QMFilePathErrorKey, store);
    if (!url.isEmpty())
        info.insert(QMPersistentStoreURLErrorKey, url.adjusted(QUrl::RemovePassword));
    if (!underlying.isNull())
        info.insert(QMUnderlyingErrorKey, QVariant::fromValue(underlying));
    return QMStoreBackends::makeError(
            QMMigrationError,
            u"The store %1 could not be migrated from version \"%2\" to \"%3\": %4."_s.arg(
                    store, plan.sourceModel() ? plan.sourceModel()->versionName() : QString(),
                    plan.destinationModel() ? plan.destinationModel()->versionName() : QString(),
                    reason),
            info);
}

QString QMMigration::storeName(const QUrl &url)
{
    // A server's store has no file: its URL alone names it (and never with a password).
    if (url.isLocalFile())
        return url.toLocalFile();
    return url.isEmpty() ? u"in memory"_s : url.toDisplayString(QUrl::RemovePassword);
}

QMError QMMigration::incompatible(const QMManagedObjectModel &model, const QUrl &url,
                                  const QString &why)
{
    return QMStoreBackends::makeError(QMPersistentStoreIncompatibleSchemaError,
                                      u"The store %1 was not made for the model %2: %3."_s.arg(
                                              storeName(url), model.name(), why),
                                      {{QMPersistentStoreURLErrorKey, url}});
}

std::optional<QMMigrationPlan>
QMMigration::planOpening(const Settings &settings,
                         const std::shared_ptr<const QMManagedObjectModel> &source,
                         const std::shared_ptr<const QMManagedObjectModel> &destination,
                         const QUrl &url, QMError *error)
{
    if (!settings.automatic) {
        QMSetError(error,
                   incompatible(*destination, url,
                                u"it was written under version \"%1\" of the model, and "
                                u"migration is off"_s.arg(source->versionName())));
        return std::nullopt;
    }
    return QMMigrationPlan::plan(source, destination, settings.migrations, error);
}
