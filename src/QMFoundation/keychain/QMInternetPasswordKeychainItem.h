#pragma once

#include <QMFoundation/keychain/QMPasswordKeychainItem.h>

#include <QUrl>

class QMKeychain;

/// @name URL schemes of internet passwords
/// @{
QMF_STORAGE_EXPORT extern const QString QMKeychainProtocolFTP; ///< "ftp"
QMF_STORAGE_EXPORT extern const QString QMKeychainProtocolFTPS; ///< "ftps"
QMF_STORAGE_EXPORT extern const QString QMKeychainProtocolHTTP; ///< "http"
QMF_STORAGE_EXPORT extern const QString QMKeychainProtocolHTTPS; ///< "https"
QMF_STORAGE_EXPORT extern const QString QMKeychainProtocolSSH; ///< "ssh"
/// @}

/// A password addressed by a URL: user (account), scheme (protocol), host, port and path. Its
/// key in a keychain is account, security domain, host, protocol, port and path together.
///
/// The protocol is held as a URL scheme and stored as a store protocol value ("FTP", "FTPS",
/// "HTTP", "HTTPS", "SSH") through a table: "ssh", "svn+ssh" and "git+ssh" all store SSH, which
/// reads back as "ssh"; other schemes have no store value (check QMKeychain::supportsProtocol()).
///
/// description() includes the password in clear text: do not log it.
class QMF_STORAGE_EXPORT QMInternetPasswordKeychainItem : public QMPasswordKeychainItem
{
public:
    using QMPasswordKeychainItem::QMPasswordKeychainItem;
    /// A shared internet password item.
    using Ptr = std::shared_ptr<QMInternetPasswordKeychainItem>;

    /// QMKeychainItemTypeInternetPassword.
    static QString keychainItemTypeRef() { return QMKeychainItemTypeInternetPassword; }
    QString itemTypeRef() const override { return keychainItemTypeRef(); }
    /// The query of QMKeychainItem::queryAttributesWithAttributes() with the internet password
    /// class.
    static QVariantMap queryAttributesWithAttributes(const QVariantMap &attributes,
                                                     const std::shared_ptr<QMKeychain> &keychain);
    using QMKeychainItem::queryAttributesWithAttributes;

    /// The store protocol of a scheme (exact, lower-case match), or a null QString.
    static QString secProtocolTypeForProtocol(const QString &protocol);
    /// The scheme of a store protocol, or a null QString.
    static QString protocolForSecProtocolType(const QString &secProtocolType);

    /// The QMKeychainAttrSecurityDomain text (an authentication realm).
    QString securityDomain() const;
    /// Records a pending security domain; a null text removes it.
    void setSecurityDomain(const QString &securityDomain);
    /// The QMKeychainAttrServer text: the URL's host.
    QString host() const;
    /// Records a pending host; a null text removes it.
    void setHost(const QString &host);
    /// The scheme of the stored protocol, or a null QString.
    QString protocol() const;
    /// A scheme outside the protocol table is ignored.
    void setProtocol(const QString &protocol);
    /// None for an item without a port or stored with port 0.
    std::optional<int> port() const;
    /// None and 0 are ignored.
    void setPort(std::optional<int> port);
    /// The QMKeychainAttrPath text: the URL's path.
    QString path() const;
    /// A null or empty path is ignored.
    void setPath(const QString &path);

    /// A new, unsaved item of `keychain` (the default keychain when null): account from the
    /// URL's user, protocol from its scheme, host, port and path, then the password.
    static Ptr internetPasswordWithKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                            const QUrl &URL, const QString &password);
    /// The item as above, saved; none with the save's error.
    static Ptr addInternetPasswordToKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                             const QUrl &URL, const QString &password,
                                             QMError *error = nullptr);
    /// The first internet password for the URL: its user, host, scheme (lower-cased, when it is in
    /// the table), port (0 when it has none, so only items without a port match) and path (when
    /// not empty). Throws "Invalid parameter not satisfying: URL != nil" for an empty URL.
    static Ptr findInternetPasswordForURL(const QUrl &URL, QMError *error = nullptr);
    /// As above, in `keychain` (the default keychain when null).
    static Ptr findInternetPasswordForURL(const QUrl &URL,
                                          const std::shared_ptr<QMKeychain> &keychain,
                                          QMError *error = nullptr);
    /// Every internet password for the URL, oldest first, without passwords: as above, but a URL
    /// without a port matches every port. An empty URL matches every internet password.
    static std::optional<QList<Ptr>> findAllInternetPasswordsForURL(const QUrl &URL,
                                                                    QMError *error = nullptr);
    /// As above, in `keychain` (the default keychain when null).
    static std::optional<QList<Ptr>>
    findAllInternetPasswordsForURL(const QUrl &URL, const std::shared_ptr<QMKeychain> &keychain,
                                   QMError *error = nullptr);
    /// Every internet password of the default keychain, oldest first, without passwords.
    static std::optional<QList<Ptr>> findAllInternetPasswords(QMError *error = nullptr);
    /// Every internet password of `keychain`, oldest first, without passwords.
    static std::optional<QList<Ptr>>
    findAllInternetPasswordsInKeychain(const std::shared_ptr<QMKeychain> &keychain,
                                       QMError *error = nullptr);

    /// The described values of label, creationDate, modificationDate, account, protocol, host,
    /// path and port.
    QVariantMap dictionaryRepresentation() const;
    /// label, creationDate, modificationDate, userDescription, comment, isInvisible, isNegative,
    /// account, password (in clear text), securityDomain, host, protocol, port and path.
    QString description() const;

    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;
};
