// The main function of qmf_keychain_tests, which is also the writer process that the keychain
// file tests start (and kill): `--add-items PATH PREFIX COUNT` adds generic passwords PREFIX0,
// PREFIX1, ... (service "s", password "secret-" and the account) one save at a time and prints
// each account on a line of its own once its add has returned.

#include "KeychainTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>

namespace {

int addItems(const QString &path, const QString &prefix, int count)
{
    QMError error;
    auto keychain = QMKeychain::openKeychainWithPath(path, KeychainTestSupport::password, &error);
    for (int i = 0; keychain && i < count; ++i) {
        const QString account = prefix + QString::number(i);
        if (!keychain->addGenericPasswordWithAccount(account, QStringLiteral("s"),
                                                     QStringLiteral("secret-") + account, &error))
            break;
        std::printf("%s\n", qPrintable(account));
        std::fflush(stdout);
    }
    if (!error.isNull()) {
        std::fprintf(stderr, "writer failed: %s %s\n", qPrintable(error.localizedDescription()),
                     qPrintable(error.localizedFailureReason()));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "--add-items") == 0)
        return addItems(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                        atoi(argv[4]));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
