#pragma once

// Keychain files: the encrypted file format and the handle (QMKeychainRef) that stands for one
// file. See docs/architecture.md for the format.

#include "QMFoundationStorageExport.h"

#include "platform/QMKeychainStore_p.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace QMKeychainFileFormat {

/// The fixed-size header, written in the clear and authenticated as associated data.
struct Header
{
    quint16 version = 1;
    quint32 opsLimit = 0; ///< Argon2id passes
    quint32 memLimitKiB = 0; ///< Argon2id memory in KiB
    QByteArray salt; ///< crypto_pwhash_SALTBYTES
    QByteArray nonce; ///< crypto_aead_xchacha20poly1305_ietf_NPUBBYTES
};

/// Bytes of the header, of the key, and the largest file read (larger files are refused).
inline constexpr qsizetype HeaderSize = 60;
inline constexpr qsizetype KeySize = 32;
inline constexpr qsizetype MaximumFileSize = 64 * 1024 * 1024;

/// The header of new files: fresh salt, libsodium's "interactive" limits.
QMF_STORAGE_EXPORT Header newHeader();
/// Reads and checks the header; errSecAuthFailed for anything that is not a header of ours with
/// limits in the accepted range (which bounds the work a file can ask for).
QMF_STORAGE_EXPORT OSStatus readHeader(const QByteArray &file, Header *header);
/// The key for a password under the header's salt and limits (Argon2id); empty when libsodium
/// cannot get the memory.
QMF_STORAGE_EXPORT QByteArray deriveKey(const QByteArray &password, const Header &header);

/// The whole file for `records`: the header with a fresh nonce, then the encrypted item set.
QMF_STORAGE_EXPORT QByteArray encrypt(Header header, const QByteArray &key,
                                      const QList<QMKeychainRecord> &records);
/// The same for any payload bytes (encrypt() seals encodeRecords()).
QMF_STORAGE_EXPORT QByteArray seal(Header header, const QByteArray &key, QByteArray payload);
/// Reads a whole file: errSecAuthFailed for a wrong key or any changed, missing or added byte,
/// errSecDecode for an authentic payload that is not an item set. `keyFor` gives the key for the
/// header (an empty key fails with errSecAllocate's nearest, errSecInternalComponent).
QMF_STORAGE_EXPORT OSStatus decrypt(const QByteArray &file,
                                    const std::function<QByteArray(const Header &)> &keyFor,
                                    QList<QMKeychainRecord> *records, Header *header = nullptr);

/// The item set as CBOR, and back (errSecDecode for anything else, nothing partial).
QMF_STORAGE_EXPORT QByteArray encodeRecords(const QList<QMKeychainRecord> &records);
QMF_STORAGE_EXPORT OSStatus decodeRecords(const QByteArray &payload,
                                          QList<QMKeychainRecord> *records);

} // namespace QMKeychainFileFormat

/// One keychain file, opened with its password. Each operation locks the file against other
/// processes (a QLockFile beside it) and other threads, reads and decrypts it, and writes it
/// back atomically (QSaveFile, mode 0600) when it changed, so concurrent writers lose nothing.
class QMF_STORAGE_EXPORT QMKeychainFile : public QMKeychainBackend
{
public:
    QMKeychainFile(const QString &path, const QByteArray &password);
    ~QMKeychainFile() override;

    QString path() const { return m_path; }

    /// Writes a new, empty file; errSecDuplicateKeychain when something exists at the path.
    OSStatus create();
    /// Reads the file once to check the password.
    OSStatus open();
    /// Deletes the file; errSecNoSuchKeychain when it is gone.
    OSStatus remove();

    OSStatus transaction(const std::function<OSStatus()> &body) override;
    OSStatus search(const QVariantMap &match, QList<QMKeychainRecord> *records) override;
    OSStatus create(QMKeychainRecord *record) override;
    OSStatus replace(QMKeychainRecord *record) override;
    OSStatus erase(const QMKeychainRecord &record) override;
    QMKeychainRef handle() const override;

    std::weak_ptr<QMKeychainFile> self;

private:
    OSStatus read();
    OSStatus write();
    QByteArray keyFor(const QMKeychainFileFormat::Header &header);

    const QString m_path;
    QByteArray m_password;
    // The fields below are used under the process-wide lock of transaction().
    bool m_dirty = false;
    QMKeychainFileFormat::Header m_header;
    QList<QMKeychainRecord> m_records;
    QByteArray m_key;
    QByteArray m_keySalt;
};
