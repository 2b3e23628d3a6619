// A program outside the source tree that uses the installed Storage library: a keychain file in
// a scratch directory, written and read back.
#include <platform/QMKeychain.h>

#include <QTemporaryDir>

#include <cstdio>

int main()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("consumer.keychain"));
    QMError error;
    const auto keychain = QMKeychain::keychainWithPath(path, QStringLiteral("pw"), &error);
    if (!keychain
        || !keychain->addGenericPasswordWithAccount(QStringLiteral("joe"), QStringLiteral("svc"),
                                                    QStringLiteral("secret"), &error)) {
        std::fprintf(stderr, "keychain file failed: %s\n",
                     qPrintable(error.localizedDescription()));
        return 1;
    }
    const auto reopened = QMKeychain::openKeychainWithPath(path, QStringLiteral("pw"), &error);
    const auto item = reopened ? reopened->findGenericPasswordItemForAccount(
                              QStringLiteral("joe"), QStringLiteral("svc"), &error)
                               : nullptr;
    if (!item || item->password() != QStringLiteral("secret")) {
        std::fprintf(stderr, "keychain file read back wrong\n");
        return 1;
    }
    std::printf("QMFoundation::Storage works from its installed package\n");
    return 0;
}
