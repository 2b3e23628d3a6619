#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QFuture>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

class QMKeychain;

/// @name Attribute and query keys of keychain items
/// Items are attribute dictionaries under these keys. The attributes are kept in the desktop
/// keyring under the same names (see docs/architecture.md); the query keys only steer a lookup.
/// @{

/// The item class: QMKeychainItemTypeGeneric or QMKeychainItemTypeInternetPassword (QString).
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrClass;
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrLabel; ///< QString
QMF_STORAGE_EXPORT extern const QString
        QMKeychainAttrCreationDate; ///< QDateTime (UTC), set by the store
QMF_STORAGE_EXPORT extern const QString
        QMKeychainAttrModificationDate; ///< QDateTime (UTC), set by the store
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrDescription; ///< QString
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrComment; ///< QString
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrCreator; ///< QString
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrIsInvisible; ///< bool
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrIsNegative; ///< bool
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrAccount; ///< QString
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrService; ///< QString (generic passwords)
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrGeneric; ///< QByteArray (generic passwords)
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrSecurityDomain; ///< QString (internet)
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrServer; ///< QString (internet)
/// The store protocol (internet): a value of QMInternetPasswordKeychainItem's protocol table.
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrProtocol;
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrPort; ///< int (internet)
QMF_STORAGE_EXPORT extern const QString QMKeychainAttrPath; ///< QString (internet)
/// The password bytes (QByteArray).
QMF_STORAGE_EXPORT extern const QString QMKeychainValueData;
/// The item reference the store returned (QMKeychainItemRef).
QMF_STORAGE_EXPORT extern const QString QMKeychainValueRef;
/// Query keys: how many items a lookup returns (QMKeychainMatchLimitOne or ...All) and what.
QMF_STORAGE_EXPORT extern const QString QMKeychainMatchLimit;
/// The QMKeychainMatchLimit value for the first matching item.
QMF_STORAGE_EXPORT extern const QString QMKeychainMatchLimitOne;
/// The QMKeychainMatchLimit value for every matching item.
QMF_STORAGE_EXPORT extern const QString QMKeychainMatchLimitAll;
QMF_STORAGE_EXPORT extern const QString QMKeychainReturnData; ///< bool
QMF_STORAGE_EXPORT extern const QString QMKeychainReturnAttributes; ///< bool
QMF_STORAGE_EXPORT extern const QString QMKeychainReturnRef; ///< bool
/// Query keys naming a keychain file: its QMKeychainRef, and a QList<QMKeychainRef> to search.
QMF_STORAGE_EXPORT extern const QString QMKeychainUseKeychain;
/// Query key: the keychain files to search, a QList<QMKeychainRef>.
QMF_STORAGE_EXPORT extern const QString QMKeychainMatchSearchList;
/// @}

/// The item class values.
QMF_STORAGE_EXPORT extern const QString QMKeychainItemTypeGeneric;
/// The item class of internet passwords.
QMF_STORAGE_EXPORT extern const QString QMKeychainItemTypeInternetPassword;

class QMKeychainFile;
/// The handle of a keychain file; a null handle stands for the user's default keychain.
using QMKeychainRef = std::shared_ptr<QMKeychainFile>;

/// What the store returns under QMKeychainValueRef: the keychain an item lives in and the
/// item's identity there (the D-Bus object path in the desktop keyring, a UUID in a file).
struct QMKeychainItemRef
{
    /// The keychain the item lives in; a null handle for the default keychain.
    QMKeychainRef keychain;
    /// The item's identity in its keychain.
    QString identifier;
    friend bool operator==(const QMKeychainItemRef &, const QMKeychainItemRef &) = default;
};
Q_DECLARE_METATYPE(QMKeychainItemRef)

/// An item of a keychain, edited locally as attribute dictionaries: what was last read from or
/// written to the store (itemAttributes()) and the pending changes (modifiedItemAttributes())
/// that save() writes back.
///
/// Items are used by one thread at a time; the store calls block until the keyring or the file
/// answers. saveAsync() and destroyAsync() use the item on a thread of the library until their
/// future finishes: leave the item alone until then (read it in the future's continuation).
class QMF_STORAGE_EXPORT QMKeychainItem : public QMObjectDescribing,
                                          public std::enable_shared_from_this<QMKeychainItem>
{
public:
    /// An item of `keychain`; without one, of the keychain the item reference in `attributes`
    /// names, else of the default keychain. `attributes` become the stored attributes.
    explicit QMKeychainItem(std::shared_ptr<QMKeychain> keychain = nullptr,
                            const QVariantMap &attributes = {});
    ~QMKeychainItem() override;
    QMKeychainItem(const QMKeychainItem &) = delete;
    QMKeychainItem &operator=(const QMKeychainItem &) = delete;

    /// The item class in the store: a null QString here, a QMKeychainItemType... in subclasses.
    static QString keychainItemTypeRef() { return QString(); }
    /// keychainItemTypeRef() of the object's own class.
    virtual QString itemTypeRef() const { return keychainItemTypeRef(); }

    /// The keychain the item belongs to; never null.
    std::shared_ptr<QMKeychain> keychain() const;
    /// The attributes last read from or written to the store.
    QVariantMap itemAttributes() const;
    /// The pending changes, an invalid value for a removal.
    QVariantMap modifiedItemAttributes() const;

    /// True while there are no stored attributes.
    bool isNew() const;
    /// True while there are pending changes.
    bool isModified() const;

    /// The pending value of `key` if there is one, else the stored value. A pending removal (an
    /// invalid value set) reads as an invalid QVariant.
    QVariant objectForKey(const QString &key) const;
    /// Records a pending value; an invalid QVariant records the removal of the attribute.
    void setObject(const QVariant &value, const QString &key);

    /// The QMKeychainAttrLabel text (see objectForKey()).
    QString label() const;
    /// Records a pending label.
    void setLabel(const QString &label);
    /// The item reference from the store, or none for an item never read or saved.
    std::optional<QMKeychainItemRef> keychainItemRef() const;

    /// A store query: `attributes` with the class of this class, match limit one, the requests
    /// for data, attributes and reference, the keychain of a keychain file (the default keychain
    /// adds nothing), and without creation and modification dates.
    static QVariantMap queryAttributesWithAttributes(const QVariantMap &attributes,
                                                     const std::shared_ptr<QMKeychain> &keychain);
    /// The query for the object's class and keychain.
    QVariantMap queryAttributesWithAttributes(const QVariantMap &attributes) const;

    /// The attributes of the first item that matches (in the keychain's order, see
    /// QMKeychain), or none: with no error when nothing matches, with the keychain error
    /// otherwise.
    static std::optional<QVariantMap> findKeychainItemWithAttributes(const QVariantMap &attributes,
                                                                     QMError *error = nullptr);
    /// As above, in `keychain` (the default keychain when null).
    static std::optional<QVariantMap>
    findKeychainItemWithAttributes(const QVariantMap &attributes,
                                   const std::shared_ptr<QMKeychain> &keychain,
                                   QMError *error = nullptr);
    /// The attributes (without passwords) of every matching item in the keychain's order; an
    /// empty list when nothing matches, none with the keychain error on failure.
    static std::optional<QList<QVariantMap>>
    findAllKeychainItemsWithAttributes(const QVariantMap &attributes,
                                       const std::shared_ptr<QMKeychain> &keychain,
                                       QMError *error = nullptr);

    /// Writes the pending changes: adds a new item, updates an existing one. False with no error
    /// when nothing is pending; false with the keychain error (the changes stay pending) when the
    /// store refuses, e.g. errSecDuplicateItem for an item whose key attributes another has.
    bool save(QMError *error = nullptr);
    /// Deletes the item from its keychain. A deliberate safety rule: a deletion (and an update
    /// through save()) names the one item it acts on, by the item reference that every item read
    /// from or saved to a keychain carries, or else by its class and every key attribute of the
    /// class (generic passwords: account and service; internet passwords: account, security
    /// domain, server, protocol, port and path). A query that does neither is refused with
    /// errSecParam and changes nothing, so attributes that are missing can never widen a
    /// deletion to every item of a class (in the desktop keyring, other applications' too). An
    /// item that was never stored deletes nothing: errSecItemNotFound.
    bool destroy(QMError *error = nullptr);

    /// save() on a thread of the library: resolves with its result (false without pending
    /// changes), fails with its error. The future keeps the item alive when a shared pointer owns
    /// it (as it does every item the library returns); otherwise the item must outlive the
    /// future. Cancelling it stops a wait for the keyring or the file; the changes then stay
    /// pending, though the desktop keyring may have taken some of them.
    QFuture<bool> saveAsync();
    /// destroy() on a thread of the library, as saveAsync() runs save().
    QFuture<bool> destroyAsync();

    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;

protected:
    /// A store query for the item class `itemClass` (none for a null one), as
    /// queryAttributesWithAttributes() describes.
    static QVariantMap queryAttributes(const QString &itemClass, const QVariantMap &attributes,
                                       const std::shared_ptr<QMKeychain> &keychain);
    /// The attributes of every item of class `itemClass` that matches, as
    /// findAllKeychainItemsWithAttributes() describes.
    static std::optional<QList<QVariantMap>> findAll(const QString &itemClass,
                                                     const QVariantMap &attributes,
                                                     const std::shared_ptr<QMKeychain> &keychain,
                                                     QMError *error);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
