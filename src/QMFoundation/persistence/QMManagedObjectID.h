#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QHashFunctions>
#include <QString>
#include <QUrl>

/// The identity of a stored object: its store, its entity and its number there.
///
/// An object inserted into a context has a temporary identifier (isTemporaryID()) until the save
/// that brings it into the store gives it its permanent one: the store takes object numbers
/// inside the save's own transaction, so that several processes sharing a store never give one
/// number twice. From then on the object's objectID() is the permanent identifier (in the saving
/// context and in its child contexts alike), which finds the object from any context on the same
/// coordinator and after the store is reopened. A temporary identifier finds the object only in
/// the context that holds it unsaved and in that context's children. A null identifier
/// (isNull()) belongs to no object. A plain value.
class QMF_STORAGE_EXPORT QMManagedObjectID
{
public:
    QMManagedObjectID() = default;
    /// The identifier of object `number` of `entityName` in the store `storeIdentifier`.
    QMManagedObjectID(const QString &storeIdentifier, const QString &entityName, qint64 number)
        : m_storeIdentifier(storeIdentifier)
        , m_entityName(entityName)
        , m_number(number)
    { }

    /// True for the null identifier, which belongs to no object.
    bool isNull() const { return m_number == 0; }
    /// True for the identifier of an object not yet saved to its store (its number is negative).
    bool isTemporaryID() const { return m_number < 0; }
    /// The store's identifier, a UUID text kept in the store (SQLite, XML) or made when the
    /// store was added (in-memory).
    QString storeIdentifier() const { return m_storeIdentifier; }
    /// The name of the object's entity.
    QString entityName() const { return m_entityName; }
    /// The object's number in its entity, from 1; negative for a temporary identifier.
    qint64 number() const { return m_number; }

    /// "x-qmstore://STORE/ENTITY/pNUMBER", or ".../tNUMBER" for a temporary identifier (with the
    /// number's magnitude); a null identifier gives an empty QUrl.
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
