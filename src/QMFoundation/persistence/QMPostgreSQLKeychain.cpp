// Passwords of PostgreSQL stores from a keychain.

#include <QMFoundation/keychain/QMGenericPasswordKeychainItem.h>
#include <QMFoundation/keychain/QMKeychain.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

QMPostgreSQLPasswordProvider
QMPostgreSQLKeychainPasswordProvider(const std::shared_ptr<QMKeychain> &keychain)
{
    return [keychain](const QUrl &server) -> QString {
        const QMKeychain::Ptr chain = keychain ? keychain : QMKeychain::defaultKeychain();
        const auto item = chain->findGenericPasswordItemForAccount(
                server.userName(), server.toString(QUrl::RemovePassword), nullptr);
        return item ? item->password() : QString();
    };
}
