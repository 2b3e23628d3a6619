#pragma once

// What the credential store's tests share (qmf_keychain_tests): keychain files to test on, and
// reading statuses out of errors.

#include "QMFoundation/keychain/QMKeychainFile_p.h"
#include <QMFoundation/keychain/QMKeychain.h>

#include <gtest/gtest.h>

#include "support/Futures.h"

#include <QFile>
#include <QTemporaryDir>

namespace KeychainTestSupport {

inline const QString password = QStringLiteral("correct horse");

/// A new keychain file `name` in `dir`, made through the library, with the password above.
inline QMKeychain::Ptr newFileKeychain(const QTemporaryDir &dir,
                                       const QString &name = QStringLiteral("test.keychain"))
{
    QMError error;
    auto keychain = QMKeychain::keychainWithPath(dir.filePath(name), password, &error);
    EXPECT_TRUE(keychain) << qPrintable(error.localizedDescription());
    return keychain;
}

/// The header of a keychain file whose key derivation takes libsodium's least work (one pass over
/// 8 KiB): for tests that start many processes, each of which derives the key once.
inline QMKeychainFileFormat::Header quickHeader()
{
    QMKeychainFileFormat::Header header = QMKeychainFileFormat::newHeader();
    header.opsLimit = 1;
    header.memLimitKiB = 8;
    return header;
}

/// Writes a keychain file of `records` under quickHeader() with the password above.
inline bool writeQuickKeychain(const QString &path, const QList<QMKeychainRecord> &records = {})
{
    const QMKeychainFileFormat::Header header = quickHeader();
    const QByteArray bytes = QMKeychainFileFormat::encrypt(
            header, QMKeychainFileFormat::deriveKey(password.toUtf8(), header), records);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size();
}

inline OSStatus statusOf(const QMError &error)
{
    EXPECT_TRUE(error.isNull() || error.domain() == QMKeychainErrorDomain);
    return OSStatus(error.code());
}

inline QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

inline bool overwrite(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size();
}

/// Empties a keychain, so each round trip starts from nothing in the shared test keyring.
inline void clear(const QMKeychain::Ptr &keychain)
{
    QMError error;
    const auto generic = keychain->findAllGenericPasswords(&error);
    ASSERT_TRUE(generic) << qPrintable(error.localizedDescription());
    for (const auto &item : *generic)
        ASSERT_TRUE(item->destroy(&error)) << qPrintable(error.localizedDescription());
    const auto internet = keychain->findAllInternetPasswords(&error);
    ASSERT_TRUE(internet) << qPrintable(error.localizedDescription());
    for (const auto &item : *internet)
        ASSERT_TRUE(item->destroy(&error)) << qPrintable(error.localizedDescription());
}

using TestSupport::waitFor;

/// Sets the time-out of the credential store while it lives.
struct TimeoutScope
{
    const std::chrono::milliseconds saved = QMKeychain::timeout();
    explicit TimeoutScope(std::chrono::milliseconds timeout) { QMKeychain::setTimeout(timeout); }
    ~TimeoutScope() { QMKeychain::setTimeout(saved); }
};

} // namespace KeychainTestSupport
