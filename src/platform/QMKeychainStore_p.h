#pragma once

// The store under the keychain classes: the item records both stores keep, and the operations
// the items use (lookup, add, update, delete), built once over a small backend interface that
// the desktop keyring (QMSecretServiceStore.cpp) and the keychain files (QMKeychainFile.cpp)
// implement.

#include "QMFoundationStorageExport.h"

#include "platform/QMKeychainError.h"
#include "platform/QMKeychainItem.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>

/// One stored item: its class, its identity in the store, the typed attributes (every key of
/// the attribute table but class, label and the dates), the label, the password and the dates.
struct QMKeychainRecord
{
    QString itemClass;
    QString identifier;
    QVariantMap attributes;
    QString label;
    QByteArray secret;
    QDateTime created;
    QDateTime modified;
    friend bool operator==(const QMKeychainRecord &, const QMKeychainRecord &) = default;
};

namespace QMKeychainAttributes {

/// How an attribute is typed, stored in a file and written as text into the desktop keyring.
enum class Kind { Text, Integer, Boolean, Data };

/// The attributes a record holds in QMKeychainRecord::attributes, in a fixed order, with their
/// kinds; class, label, dates, password and reference are not among them.
QMF_STORAGE_EXPORT const QList<std::pair<QString, Kind>> &table();
/// The kind of a record attribute, or none for any other key.
QMF_STORAGE_EXPORT std::optional<Kind> kindOf(const QString &key);
/// The value as the attribute's kind holds it, or an invalid QVariant when it has another type.
QMF_STORAGE_EXPORT QVariant typedValue(Kind kind, const QVariant &value);
/// The text of a typed value: texts as they are, integers in decimal, "true"/"false", Base64.
QMF_STORAGE_EXPORT QString text(Kind kind, const QVariant &typed);
/// The typed value of a text, or an invalid QVariant when the text does not read as the kind.
QMF_STORAGE_EXPORT QVariant fromText(Kind kind, const QString &text);

} // namespace QMKeychainAttributes

/// The primitive operations of a store. Lookups return every record that may match, in the
/// store's order (oldest first); the shared code filters them exactly. transaction() runs a
/// read-modify-write as one step: a keychain file locks, reads and writes itself around it.
class QMKeychainBackend
{
public:
    virtual ~QMKeychainBackend() = default;
    virtual OSStatus transaction(const std::function<OSStatus()> &body) { return body(); }
    virtual OSStatus search(const QVariantMap &match, QList<QMKeychainRecord> *records) = 0;
    /// Stores a new record; sets its identifier and dates.
    virtual OSStatus create(QMKeychainRecord *record) = 0;
    /// Writes a record over the one with its identifier; sets its modification date.
    virtual OSStatus replace(QMKeychainRecord *record) = 0;
    virtual OSStatus erase(const QMKeychainRecord &record) = 0;
    /// The handle that item references carry (none for the desktop keyring).
    virtual QMKeychainRef handle() const = 0;
};

namespace QMKeychainStore {

/// The backend a query addresses: the file of QMKeychainUseKeychain, else the desktop keyring.
QMKeychainBackend &backendForQuery(const QVariantMap &query);
/// The desktop keyring's backend (a process-wide instance).
QMKeychainBackend &secretService();

OSStatus copyMatching(const QVariantMap &query, QList<QVariantMap> *results);
OSStatus add(const QVariantMap &query, QVariantMap *result);
OSStatus update(const QVariantMap &query, const QVariantMap &changes);
OSStatus remove(const QVariantMap &query);

/// The shared steps, on a given backend.
OSStatus copyMatching(QMKeychainBackend &backend, const QVariantMap &query,
                      QList<QVariantMap> *results);
OSStatus add(QMKeychainBackend &backend, const QVariantMap &query, QVariantMap *result);
OSStatus update(QMKeychainBackend &backend, const QVariantMap &query, const QVariantMap &changes);
OSStatus remove(QMKeychainBackend &backend, const QVariantMap &query);

} // namespace QMKeychainStore
