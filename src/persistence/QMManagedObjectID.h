#pragma once

#include "QMFoundationStorageExport.h"

#include <QHashFunctions>
#include <QString>
#include <QUrl>

/// The identity of a stored object: its store, its entity and its number there. Identifiers are
/// given when an object is inserted and never change, so one taken before a save still finds the
/// object after it, from any context on the same coordinator and after the store is reopened.
/// A null identifier (isNull()) belongs to no object. A plain value.
class QMF_STORAGE_EXPORT QMManagedObjectID
{
public:
    QMManagedObjectID() = default;
    QMManagedObjectID(const QString &storeIdentifier, const QString &entityName, qint64 number)
        : m_storeIdentifier(storeIdentifier)
        , m_entityName(entityName)
        , m_number(number)
    { }

    bool isNull() const { return m_number <= 0; }
    /// The store's identifier, a UUID text kept in the store (SQLite, XML) or made when the
    /// store was added (in-memory).
    QString storeIdentifier() const { return m_storeIdentifier; }
    QString entityName() const { return m_entityName; }
    /// The object's number in its entity, from 1.
    qint64 number() const { return m_number; }

    /// "x-qmstore://STORE/ENTITY/pNUMBER"; a null identifier gives an empty QUrl.
    QUrl URIRepresentation() const;
    /// The identifier URIRepresentation() gave, or a null one for any other URL.
    static QMManagedObjectID fromURIRepresentation(const QUrl &url);

    // The number first: it tells two identifiers of one store apart at once.
    friend bool operator==(const QMManagedObjectID &a, const QMManagedObjectID &b)
    {
        return a.m_number == b.m_number && a.m_entityName == b.m_entityName
                && a.m_storeIdentifier == b.m_storeIdentifier;
    }

private:
    QString m_storeIdentifier;
    QString m_entityName;
    qint64 m_number = 0;
};

/// Leaves the store out: the identifiers a context or a store holds nearly all share it, so
/// hashing its text would only take time.
inline size_t qHash(const QMManagedObjectID &id, size_t seed = 0)
{
    return qHashMulti(seed, id.entityName(), id.number());
}
