#pragma once

#include <QMFoundation/keychain/QMPasswordKeychainItem.h>

class QMKeychain;

/// A password addressed by account and service. Its key in a keychain is the pair: a second item
/// with the same account and service is refused with errSecDuplicateItem.
///
/// description() includes the password in clear text: do not log it.
class QMF_STORAGE_EXPORT QMGenericPasswordKeychainItem : public QMPasswordKeychainItem
{
public:
    using QMPasswordKeychainItem::QMPasswordKeychainItem;
    /// A shared generic password item.
    using Ptr = std::shared_ptr<QMGenericPasswordKeychainItem>;

    /// QMKeychainItemTypeGeneric.
    static QString keychainItemTypeRef() { return QMKeychainItemTypeGeneric; }
    QString itemTypeRef() const override { return keychainItemTypeRef(); }
    /// The query of QMKeychainItem::queryAttributesWithAttributes() with the generic password
    /// class.
    static QVariantMap queryAttributesWithAttributes(const QVariantMap &attributes,
                                                     const std::shared_ptr<QMKeychain> &keychain);
    using QMKeychainItem::queryAttributesWithAttributes;

    /// The QMKeychainAttrService text: what the password is for.
    QString service() const;
    /// Records a pending service; a null text removes it.
    void setService(const QString &service);
    /// The QMKeychainAttrGeneric bytes, free for the application.
    QByteArray genericData() const;
    /// Records pending generic data; a null QByteArray removes it.
    void setGenericData(const QByteArray &genericData);

    /// A new, unsaved item of `keychain` (the default keychain when null) with the three values.
    static Ptr genericPasswordItemWithKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                               const QString &account, const QString &service,
                                               const QString &password);
    /// The item as above, saved; none with the save's error.
    static Ptr addGenericPasswordToKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                            const QString &account, const QString &service,
                                            const QString &password, QMError *error = nullptr);
    /// The first generic password with this account and service (a null one matches any), in
    /// the default keychain or in `keychain`; none, with no error when nothing matches.
    static Ptr findGenericPasswordItemForAccount(const QString &account, const QString &service,
                                                 QMError *error = nullptr);
    /// As above, in `keychain` (the default keychain when null).
    static Ptr findGenericPasswordItemForAccount(const QString &account, const QString &service,
                                                 const std::shared_ptr<QMKeychain> &keychain,
                                                 QMError *error = nullptr);
    /// Every generic password of the keychain, oldest first, without passwords.
    static std::optional<QList<Ptr>>
    findAllGenericPasswordItemsInKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                          QMError *error = nullptr);

    /// The described values of label, creationDate, modificationDate, account and service.
    QVariantMap dictionaryRepresentation() const;
    /// label, creationDate, modificationDate, userDescription, comment, isInvisible, isNegative,
    /// account, password (in clear text) and service.
    QString description() const;

    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;
};
