// What the three stores share: the order of rows in memory, object numbers, the check for
// conflicting saves, and errors.

#include "QMFoundation/persistence/QMStoreBackend_p.h"

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

void QMStoreBackends::sortRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                               const QList<QMFetchSortDescriptor> &sort)
{
    struct Key
    {
        qsizetype column;
        QMAttributeType type;
        bool ascending;
    };
    QList<Key> keys;
    for (const QMFetchSortDescriptor &d : sort) {
        const qsizetype i = entity.indexOfAttribute(d.key);
        if (i >= 0)
            keys.append({i, entity.attributes().at(i).type, d.ascending});
    }
    std::sort(rows.begin(), rows.end(), [&](const QMStoreRow &a, const QMStoreRow &b) {
        for (const Key &k : keys) {
            const int c = QMPersistenceValue::compare(a.values.value(k.column),
                                                      b.values.value(k.column), k.type);
            if (c != 0)
                return k.ascending ? c < 0 : c > 0;
        }
        return a.number < b.number;
    });
}

void QMStoreBackends::finishRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                                 const QList<QMFetchSortDescriptor> &sort, qsizetype limit,
                                 bool withValues)
{
    sortRows(rows, entity, sort);
    if (limit > 0 && rows.size() > limit)
        rows.resize(limit);
    if (!withValues) {
        for (QMStoreRow &row : rows)
            row.values.clear();
    }
}

QMError QMStoreBackends::makeError(qint64 code, const QString &description,
                                   const QVariantMap &extra)
{
    QVariantMap info = extra;
    info.insert(QMLocalizedDescriptionKey, description);
    return QMError(QMPersistenceErrorDomain, code, info);
}

bool QMStoreBackends::takeNumbers(qint64 &next, qsizetype count, const QString &entityName,
                                  QList<qint64> *numbers, QMError *error)
{
    if (next < 1)
        next = 1;
    // The largest number is never given: a store whose next number is it could not take more.
    if (count > 0 && std::numeric_limits<qint64>::max() - next < count) {
        *error = makeError(QMPersistentStoreSaveError,
                           u"The save failed: the store has no object numbers left for the "
                           u"entity %1."_s.arg(entityName));
        return false;
    }
    numbers->reserve(numbers->size() + count);
    for (qsizetype i = 0; i < count; ++i)
        numbers->append(next++);
    return true;
}

bool QMStoreBackends::sameValues(const QMEntityDescription &entity, const QVariantList &a,
                                 const QVariantList &b)
{
    const QList<QMAttributeDescription> &attributes = entity.attributes();
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        const QVariant &x = a.value(i);
        const QVariant &y = b.value(i);
        const bool absent = QMPersistenceValue::isAbsent(x);
        if (absent != QMPersistenceValue::isAbsent(y))
            return false;
        if (!absent && QMPersistenceValue::compare(x, y, attributes.at(i).type) != 0)
            return false;
    }
    return true;
}

bool QMStoreBackends::checkConflicts(const QMStoreChanges &changes,
                                     const QMManagedObjectModel &model,
                                     const QString &storeIdentifier,
                                     const std::function<bool(const QMEntityDescription &, qint64,
                                                              QVariantList *, QMError *)> &current,
                                     QMError *error)
{
    QVariantList conflicts;
    QStringList names;
    for (const bool deletion : {false, true}) {
        const auto &table = deletion ? changes.deleted : changes.updated;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            const QMEntityDescription *entity = model.entityForName(it.key());
            if (!entity)
                continue;
            for (const QMStoreUpdate &update : it.value()) {
                if (update.expected.isEmpty())
                    continue;
                QVariantList now;
                QMError failure;
                const bool found = current(*entity, update.number, &now, &failure);
                if (!failure.isNull()) {
                    *error = failure;
                    return false;
                }
                // A row deleted meanwhile is what a deletion wants; an update would bring it
                // back, so that conflicts.
                if (found ? sameValues(*entity, now, update.expected) : deletion)
                    continue;
                const QMManagedObjectID id(storeIdentifier, it.key(), update.number);
                conflicts.append(id.URIRepresentation());
                if (names.size() < 5)
                    names.append(id.URIRepresentation().toString());
            }
        }
    }
    if (conflicts.isEmpty())
        return true;
    QString list = names.join(u", "_s);
    if (conflicts.size() > names.size())
        list += u" and %1 more"_s.arg(conflicts.size() - names.size());
    *error = makeError(QMManagedObjectMergeError,
                       u"The save conflicts with changes saved since the objects were read "
                       u"(%1); nothing was saved. Refresh the objects and save again."_s.arg(list),
                       {{QMPersistentStoreSaveConflictsErrorKey, conflicts}});
    return false;
}

QMError QMStoreBackends::fileError(qint64 code, const QString &action, const QString &path,
                                   const QMFileStatus &status, qint64 limit, const QUrl &url)
{
    qint64 specific = code;
    const bool reading = code == QMFileReadUnknownError;
    if (status.kind == QMFileStatus::TooLarge && reading)
        specific = QMFileReadTooLargeError;
    else if (status.kind == QMFileStatus::TimedOut)
        specific = QMPersistentStoreTimeoutError;
    else if (status.isPermissionDenied())
        specific = reading                        ? QMFileReadNoPermissionError
                : code == QMFileWriteUnknownError ? QMFileWriteNoPermissionError
                                                  : code;
    QVariantMap extra {{QMFilePathErrorKey, path}};
    if (!url.isEmpty())
        extra.insert(QMPersistentStoreURLErrorKey, url);
    if (status.kind == QMFileStatus::SystemError)
        extra.insert(u"QMUnderlyingErrno"_s, status.systemError);
    return makeError(specific, u"%1 %2: %3."_s.arg(action, path, status.reason(limit)), extra);
}

int QMStoreBackends::timeoutOf(const QVariantMap &options)
{
    bool ok = false;
    const double seconds = options.value(QMPersistentStoreTimeoutOption).toDouble(&ok);
    if (!options.contains(QMPersistentStoreTimeoutOption) || !ok || !std::isfinite(seconds)
        || seconds < 0)
        return 5000;
    return int(std::min(seconds * 1000, double(std::numeric_limits<int>::max())));
}
