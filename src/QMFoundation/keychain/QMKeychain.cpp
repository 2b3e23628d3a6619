#include <QMFoundation/keychain/QMKeychain.h>

#include "QMFoundation/keychain/QMKeychainFile_p.h"
#include "QMFoundation/keychain/QMKeychainStore_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/rest/QMCommon.h>

#include <QDir>

#include <mutex>
#include <stdexcept>

using namespace Qt::Literals::StringLiterals;

struct QMKeychain::Private
{
    QMKeychainRef keychainRef;
};

namespace {

std::mutex &providerMutex()
{
    static std::mutex mutex;
    return mutex;
}

QMKeychain::PasswordProvider &provider()
{
    static QMKeychain::PasswordProvider provider;
    return provider;
}

// The password to use: the given one, else the provider's answer.
QMKeychainResult passwordFor(const QString &path, const QString &given, QByteArray *password)
{
    if (!given.isNull()) {
        *password = given.toUtf8();
        return errSecSuccess;
    }
    QMKeychain::PasswordProvider ask;
    {
        std::lock_guard guard(providerMutex());
        ask = provider();
    }
    if (!ask)
        return errSecInteractionNotAllowed;
    const QString answer = ask(path);
    if (answer.isNull())
        return errSecUserCanceled;
    *password = answer.toUtf8();
    return errSecSuccess;
}

QMKeychain::Ptr fileKeychain(const QString &path, const QString &password, bool create,
                             QMError *error)
{
    QMParameterAssert(!path.isNull(), "path != nil");
    QByteArray bytes;
    QMKeychainResult result = passwordFor(path, password, &bytes);
    if (result.ok()) {
        auto file = std::make_shared<QMKeychainFile>(QDir::cleanPath(QDir(path).absolutePath()),
                                                     bytes);
        file->self = file;
        result = create ? file->create() : file->open();
        if (result.ok())
            return std::make_shared<QMKeychain>(file);
    }
    QMSetError(error, result.error());
    return nullptr;
}

template<typename Ptr, typename Find, typename Add>
Ptr createOrUpdate(const QString &password, QMError *error, Find find, Add add)
{
    if (Ptr item = find()) {
        item->setPassword(password);
        return item->save(error) ? item : nullptr;
    }
    return add();
}

// The list of a lookup that returns an optional list, for its future (the failure is the
// future's error).
template<typename Find>
auto listAsync(Find find)
{
    return QMKeychainStore::runAsync([find = std::move(find)](QMError *error) mutable {
        return find(error).value_or(typename decltype(find(error))::value_type());
    });
}

} // namespace

QMKeychain::QMKeychain()
    : QMKeychain(nullptr)
{ }

QMKeychain::QMKeychain(QMKeychainRef keychainRef)
    : d(std::make_unique<Private>())
{
    d->keychainRef = std::move(keychainRef);
}

QMKeychain::~QMKeychain() = default;

QMKeychain::Ptr QMKeychain::defaultKeychain()
{
    static const Ptr keychain = std::make_shared<QMKeychain>();
    return keychain;
}

QMKeychain::Ptr QMKeychain::keychainWithKeychainRef(QMKeychainRef keychainRef)
{
    return std::make_shared<QMKeychain>(std::move(keychainRef));
}

QMKeychain::Ptr QMKeychain::keychainWithPath(const QString &path, const QString &password,
                                             QMError *error)
{
    return fileKeychain(path, password, true, error);
}

QMKeychain::Ptr QMKeychain::openKeychainWithPath(const QString &path, const QString &password,
                                                 QMError *error)
{
    return fileKeychain(path, password, false, error);
}

QFuture<QMKeychain::Ptr> QMKeychain::keychainWithPathAsync(const QString &path,
                                                           const QString &password)
{
    QMParameterAssert(!path.isNull(), "path != nil");
    return QMKeychainStore::runAsync(
            [path, password](QMError *error) { return keychainWithPath(path, password, error); });
}

QFuture<QMKeychain::Ptr> QMKeychain::openKeychainWithPathAsync(const QString &path,
                                                               const QString &password)
{
    QMParameterAssert(!path.isNull(), "path != nil");
    return QMKeychainStore::runAsync([path, password](QMError *error) {
        return openKeychainWithPath(path, password, error);
    });
}

void QMKeychain::setPasswordProvider(PasswordProvider passwordProvider)
{
    std::lock_guard guard(providerMutex());
    provider() = std::move(passwordProvider);
}

void QMKeychain::setTimeout(std::chrono::milliseconds timeout)
{
    QMKeychainStore::setTimeout(timeout);
}

std::chrono::milliseconds QMKeychain::timeout()
{
    return QMKeychainStore::timeout();
}

bool QMKeychain::supportsProtocol(const QString &protocol)
{
    return protocol == QMKeychainProtocolFTP || protocol == QMKeychainProtocolFTPS
            || protocol == QMKeychainProtocolHTTP || protocol == QMKeychainProtocolHTTPS
            || protocol == QMKeychainProtocolSSH;
}

QMKeychainRef QMKeychain::keychainRef() const
{
    return d->keychainRef;
}

QString QMKeychain::path() const
{
    return d->keychainRef ? d->keychainRef->path() : QString();
}

bool QMKeychain::isDefaultKeychain() const
{
    return !d->keychainRef;
}

QMKeychain::Ptr QMKeychain::self()
{
    // A keychain the host made on its own (not through a shared pointer) hands items a twin.
    Ptr owner = weak_from_this().lock();
    return owner ? owner : std::make_shared<QMKeychain>(d->keychainRef);
}

QMInternetPasswordKeychainItem::Ptr QMKeychain::findInternetPasswordForURL(const QUrl &URL,
                                                                           QMError *error)
{
    return QMInternetPasswordKeychainItem::findInternetPasswordForURL(URL, self(), error);
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMKeychain::findAllInternetPasswordsForURL(const QUrl &URL, QMError *error)
{
    return QMInternetPasswordKeychainItem::findAllInternetPasswordsForURL(URL, self(), error);
}

std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
QMKeychain::findAllInternetPasswords(QMError *error)
{
    return QMInternetPasswordKeychainItem::findAllInternetPasswordsInKeychain(self(), error);
}

std::optional<QList<QMGenericPasswordKeychainItem::Ptr>>
QMKeychain::findAllGenericPasswords(QMError *error)
{
    return QMGenericPasswordKeychainItem::findAllGenericPasswordItemsInKeychain(self(), error);
}

QMGenericPasswordKeychainItem::Ptr
QMKeychain::findGenericPasswordItemForAccount(const QString &account, const QString &service,
                                              QMError *error)
{
    return QMGenericPasswordKeychainItem::findGenericPasswordItemForAccount(account, service,
                                                                            self(), error);
}

QMInternetPasswordKeychainItem::Ptr
QMKeychain::addInternetPasswordWithURL(const QUrl &URL, const QString &password, QMError *error)
{
    return QMInternetPasswordKeychainItem::addInternetPasswordToKeychain(self(), URL, password,
                                                                         error);
}

QMGenericPasswordKeychainItem::Ptr
QMKeychain::addGenericPasswordWithAccount(const QString &account, const QString &service,
                                          const QString &password, QMError *error)
{
    return QMGenericPasswordKeychainItem::addGenericPasswordToKeychain(self(), account, service,
                                                                       password, error);
}

QMInternetPasswordKeychainItem::Ptr
QMKeychain::createOrUpdateInternetPasswordWithURL(const QUrl &URL, const QString &password,
                                                  QMError *error)
{
    return createOrUpdate<QMInternetPasswordKeychainItem::Ptr>(
            password, error, [&] { return findInternetPasswordForURL(URL); },
            [&] { return addInternetPasswordWithURL(URL, password, error); });
}

QMGenericPasswordKeychainItem::Ptr
QMKeychain::createOrUpdateGenericPasswordWithAccount(const QString &account, const QString &service,
                                                     const QString &password, QMError *error)
{
    return createOrUpdate<QMGenericPasswordKeychainItem::Ptr>(
            password, error, [&] { return findGenericPasswordItemForAccount(account, service); },
            [&] { return addGenericPasswordWithAccount(account, service, password, error); });
}

QFuture<QMInternetPasswordKeychainItem::Ptr>
QMKeychain::findInternetPasswordForURLAsync(const QUrl &URL)
{
    QMParameterAssert(!URL.isEmpty(), "URL != nil");
    return QMKeychainStore::runAsync([keychain = self(), URL](QMError *error) {
        return keychain->findInternetPasswordForURL(URL, error);
    });
}

QFuture<QList<QMInternetPasswordKeychainItem::Ptr>>
QMKeychain::findAllInternetPasswordsForURLAsync(const QUrl &URL)
{
    return listAsync([keychain = self(), URL](QMError *error) {
        return keychain->findAllInternetPasswordsForURL(URL, error);
    });
}

QFuture<QList<QMInternetPasswordKeychainItem::Ptr>> QMKeychain::findAllInternetPasswordsAsync()
{
    return listAsync([keychain = self()](QMError *error) {
        return keychain->findAllInternetPasswords(error);
    });
}

QFuture<QList<QMGenericPasswordKeychainItem::Ptr>> QMKeychain::findAllGenericPasswordsAsync()
{
    return listAsync([keychain = self()](QMError *error) {
        return keychain->findAllGenericPasswords(error);
    });
}

QFuture<QMGenericPasswordKeychainItem::Ptr>
QMKeychain::findGenericPasswordItemForAccountAsync(const QString &account, const QString &service)
{
    return QMKeychainStore::runAsync([keychain = self(), account, service](QMError *error) {
        return keychain->findGenericPasswordItemForAccount(account, service, error);
    });
}

QFuture<QMInternetPasswordKeychainItem::Ptr>
QMKeychain::addInternetPasswordWithURLAsync(const QUrl &URL, const QString &password)
{
    return QMKeychainStore::runAsync([keychain = self(), URL, password](QMError *error) {
        return keychain->addInternetPasswordWithURL(URL, password, error);
    });
}

QFuture<QMGenericPasswordKeychainItem::Ptr>
QMKeychain::addGenericPasswordWithAccountAsync(const QString &account, const QString &service,
                                               const QString &password)
{
    return QMKeychainStore::runAsync(
            [keychain = self(), account, service, password](QMError *error) {
                return keychain->addGenericPasswordWithAccount(account, service, password, error);
            });
}

QFuture<QMInternetPasswordKeychainItem::Ptr>
QMKeychain::createOrUpdateInternetPasswordWithURLAsync(const QUrl &URL, const QString &password)
{
    QMParameterAssert(!URL.isEmpty(), "URL != nil");
    return QMKeychainStore::runAsync([keychain = self(), URL, password](QMError *error) {
        return keychain->createOrUpdateInternetPasswordWithURL(URL, password, error);
    });
}

QFuture<QMGenericPasswordKeychainItem::Ptr>
QMKeychain::createOrUpdateGenericPasswordWithAccountAsync(const QString &account,
                                                          const QString &service,
                                                          const QString &password)
{
    return QMKeychainStore::runAsync(
            [keychain = self(), account, service, password](QMError *error) {
                return keychain->createOrUpdateGenericPasswordWithAccount(account, service,
                                                                          password, error);
            });
}

bool QMKeychain::destroy(QMError *error)
{
    if (isDefaultKeychain())
        throw std::invalid_argument("The user's default keychain cannot be deleted.");
    const QMKeychainResult result = d->keychainRef->remove();
    if (!result.ok()) {
        QMSetError(error, result.error());
        return false;
    }
    return true;
}

QString QMKeychain::description() const
{
    return prettyDescriptionWithItems({u"path"_s, u"isDefaultKeychain"_s});
}

QString QMKeychain::className() const
{
    return u"QMKeychain"_s;
}

std::optional<QStringList> QMKeychain::attributeKeys() const
{
    return QStringList {u"path"_s, u"isDefaultKeychain"_s};
}

QVariant QMKeychain::valueForKey(const QString &key) const
{
    if (key == u"path"_s)
        return path().isNull() ? QVariant() : QVariant(path());
    if (key == u"isDefaultKeychain"_s)
        return isDefaultKeychain();
    return QVariant();
}

QUrl QMKeychainURL::normalizedKeychainURL(const QUrl &url)
{
    const QString cleaned = QDir::cleanPath(url.path(QUrl::FullyEncoded));
    QString path;
    if (cleaned != u"/"_s) {
        // Every component but the last as a file, the last as a directory.
        const QStringList components = cleaned.split(u'/', Qt::SkipEmptyParts);
        for (const QString &component : components)
            path += u'/' + component;
        if (!components.isEmpty())
            path += u'/';
    }
    return QMCommon::URLWithScheme(url.scheme(), url.userName(), url.host(QUrl::FullyEncoded),
                                   url.port(), path, QString(), QString());
}
