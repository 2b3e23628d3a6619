#include <QMFoundation/keychain/QMInternetPasswordKeychainItem.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/keychain/QMKeychain.h>

using namespace Qt::Literals::StringLiterals;

const QString QMKeychainProtocolFTP = u"ftp"_s;
const QString QMKeychainProtocolFTPS = u"ftps"_s;
const QString QMKeychainProtocolHTTP = u"http"_s;
const QString QMKeychainProtocolHTTPS = u"https"_s;
const QString QMKeychainProtocolSSH = u"ssh"_s;

namespace {

// Scheme to store protocol; the reverse reading uses the first five rows only.
const QList<std::pair<QString, QString>> &protocolTable()
{
    static const QList<std::pair<QString, QString>> table {
            {u"ftp"_s, u"FTP"_s},     {u"ftps"_s, u"FTPS"_s}, {u"http"_s, u"HTTP"_s},
            {u"https"_s, u"HTTPS"_s}, {u"ssh"_s, u"SSH"_s},   {u"svn+ssh"_s, u"SSH"_s},
            {u"git+ssh"_s, u"SSH"_s},
    };
    return table;
}

enum class Lookup { One, All };

QVariantMap queryForURL(const QUrl &url, Lookup lookup)
{
    QVariantMap query;
    if (!url.userName().isEmpty())
        query.insert(QMKeychainAttrAccount, url.userName());
    if (!url.host().isEmpty())
        query.insert(QMKeychainAttrServer, url.host());
    const QString protocol = QMInternetPasswordKeychainItem::secProtocolTypeForProtocol(
            lookup == Lookup::One ? url.scheme().toLower() : url.scheme());
    if (!protocol.isNull())
        query.insert(QMKeychainAttrProtocol, protocol);
    if (lookup == Lookup::One)
        query.insert(QMKeychainAttrPort, url.port() > 0 ? url.port() : 0);
    else if (url.port() > 0)
        query.insert(QMKeychainAttrPort, url.port());
    if (!url.path().isEmpty())
        query.insert(QMKeychainAttrPath, url.path());
    return query;
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
itemsFor(const std::optional<QList<QVariantMap>> &found,
         const std::shared_ptr<QMKeychain> &keychain)
{
    if (!found)
        return std::nullopt;
    QList<QMInternetPasswordKeychainItem::Ptr> items;
    for (const QVariantMap &attributes : *found)
        items.append(std::make_shared<QMInternetPasswordKeychainItem>(keychain, attributes));
    return items;
}

} // namespace

QVariantMap QMInternetPasswordKeychainItem::queryAttributesWithAttributes(
        const QVariantMap &attributes, const std::shared_ptr<QMKeychain> &keychain)
{
    return queryAttributes(keychainItemTypeRef(), attributes, keychain);
}

QString QMInternetPasswordKeychainItem::secProtocolTypeForProtocol(const QString &protocol)
{
    for (const auto &[scheme, value] : protocolTable())
        if (scheme == protocol)
            return value;
    return QString();
}

QString QMInternetPasswordKeychainItem::protocolForSecProtocolType(const QString &secProtocolType)
{
    for (const auto &[scheme, value] : protocolTable().first(5))
        if (value == secProtocolType)
            return scheme;
    return QString();
}

QString QMInternetPasswordKeychainItem::securityDomain() const
{
    return objectForKey(QMKeychainAttrSecurityDomain).toString();
}

void QMInternetPasswordKeychainItem::setSecurityDomain(const QString &securityDomain)
{
    setText(securityDomain, QMKeychainAttrSecurityDomain);
}

QString QMInternetPasswordKeychainItem::host() const
{
    return objectForKey(QMKeychainAttrServer).toString();
}

void QMInternetPasswordKeychainItem::setHost(const QString &host)
{
    setText(host, QMKeychainAttrServer);
}

QString QMInternetPasswordKeychainItem::protocol() const
{
    return protocolForSecProtocolType(objectForKey(QMKeychainAttrProtocol).toString());
}

void QMInternetPasswordKeychainItem::setProtocol(const QString &protocol)
{
    const QString value = secProtocolTypeForProtocol(protocol);
    if (!value.isNull())
        setObject(value, QMKeychainAttrProtocol);
}

std::optional<int> QMInternetPasswordKeychainItem::port() const
{
    const int port = objectForKey(QMKeychainAttrPort).toInt();
    return port ? std::optional<int>(port) : std::nullopt;
}

void QMInternetPasswordKeychainItem::setPort(std::optional<int> port)
{
    if (port && *port != 0)
        setObject(*port, QMKeychainAttrPort);
}

QString QMInternetPasswordKeychainItem::path() const
{
    return objectForKey(QMKeychainAttrPath).toString();
}

void QMInternetPasswordKeychainItem::setPath(const QString &path)
{
    if (!path.isEmpty())
        setObject(path, QMKeychainAttrPath);
}

QMInternetPasswordKeychainItem::Ptr QMInternetPasswordKeychainItem::internetPasswordWithKeychain(
        const std::shared_ptr<QMKeychain> &keychain, const QUrl &URL, const QString &password)
{
    auto item = std::make_shared<QMInternetPasswordKeychainItem>(keychain);
    item->setAccount(URL.userName().isEmpty() ? QString() : URL.userName());
    item->setProtocol(URL.scheme());
    if (!URL.host().isEmpty())
        item->setHost(URL.host());
    item->setPort(URL.port() > 0 ? std::optional<int>(URL.port()) : std::nullopt);
    item->setPath(URL.path());
    item->setPassword(password);
    return item;
}

QMInternetPasswordKeychainItem::Ptr QMInternetPasswordKeychainItem::addInternetPasswordToKeychain(
        const std::shared_ptr<QMKeychain> &keychain, const QUrl &URL, const QString &password,
        QMError *error)
{
    Ptr item = internetPasswordWithKeychain(keychain, URL, password);
    return item->save(error) ? item : nullptr;
}

QMInternetPasswordKeychainItem::Ptr
QMInternetPasswordKeychainItem::findInternetPasswordForURL(const QUrl &URL, QMError *error)
{
    return findInternetPasswordForURL(URL, QMKeychain::defaultKeychain(), error);
}

QMInternetPasswordKeychainItem::Ptr QMInternetPasswordKeychainItem::findInternetPasswordForURL(
        const QUrl &URL, const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    QMParameterAssert(!URL.isEmpty(), "URL != nil");
    QVariantMap attributes = queryForURL(URL, Lookup::One);
    attributes.insert(QMKeychainAttrClass, keychainItemTypeRef());
    const auto found = findKeychainItemWithAttributes(attributes, keychain, error);
    return found ? std::make_shared<QMInternetPasswordKeychainItem>(keychain, *found) : nullptr;
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMInternetPasswordKeychainItem::findAllInternetPasswordsForURL(const QUrl &URL, QMError *error)
{
    return findAllInternetPasswordsForURL(URL, QMKeychain::defaultKeychain(), error);
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMInternetPasswordKeychainItem::findAllInternetPasswordsForURL(
        const QUrl &URL, const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    const QVariantMap attributes = URL.isEmpty() ? QVariantMap() : queryForURL(URL, Lookup::All);
    return itemsFor(findAll(keychainItemTypeRef(), attributes, keychain, error), keychain);
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMInternetPasswordKeychainItem::findAllInternetPasswords(QMError *error)
{
    return findAllInternetPasswordsForURL(QUrl(), QMKeychain::defaultKeychain(), error);
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMInternetPasswordKeychainItem::findAllInternetPasswordsInKeychain(
        const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    return findAllInternetPasswordsForURL(QUrl(), keychain, error);
}

QVariantMap QMInternetPasswordKeychainItem::dictionaryRepresentation() const
{
    QVariantMap dictionary;
    const QStringList keys = *attributeKeys();
    for (const QString &key : keys)
        dictionary.insert(key, prettyDescriptionForObject(valueForKey(key)));
    return dictionary;
}

QString QMInternetPasswordKeychainItem::description() const
{
    return prettyDescriptionWithItems(
            {u"label"_s, u"creationDate"_s, u"modificationDate"_s, u"userDescription"_s,
             u"comment"_s, u"isInvisible"_s, u"isNegative"_s, u"account"_s, u"password"_s,
             u"securityDomain"_s, u"host"_s, u"protocol"_s, u"port"_s, u"path"_s});
}

QString QMInternetPasswordKeychainItem::className() const
{
    return u"QMInternetPasswordKeychainItem"_s;
}

std::optional<QStringList> QMInternetPasswordKeychainItem::attributeKeys() const
{
    return QStringList {u"label"_s,   u"creationDate"_s, u"modificationDate"_s,
                        u"account"_s, u"protocol"_s,     u"host"_s,
                        u"path"_s,    u"port"_s};
}

QVariant QMInternetPasswordKeychainItem::valueForKey(const QString &key) const
{
    const auto text = [](const QString &value) {
        return value.isNull() ? QVariant() : QVariant(value);
    };
    if (key == u"securityDomain"_s)
        return text(securityDomain());
    if (key == u"host"_s)
        return text(host());
    if (key == u"protocol"_s)
        return text(protocol());
    if (key == u"port"_s)
        return port() ? QVariant(*port()) : QVariant();
    if (key == u"path"_s)
        return text(path());
    return QMPasswordKeychainItem::valueForKey(key);
}
