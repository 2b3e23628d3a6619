#pragma once

// Keychain files: the encrypted file format and the handle (QMKeychainRef) that stands for one
// file. See docs/architecture.md for the format.

#include <QMFoundation/QMFoundationStorageExport.h>

#include "QMFoundation/keychain/QMKeychainStore_p.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <mutex>

struct QMFileStatus;
class QMFileLock;

namespace QMKeychainFileFormat {

/// The fixed-size header, written in the clear and authenticated as associated data.
struct Header
{
    /// 2 for files this library writes; 1 for files of earlier versions, which it still reads.
    quint16 version = 2;
    quint32 opsLimit = 0; ///< Argon2id passes
    quint32 memLimitKiB = 0; ///< Argon2id memory in KiB
    QByteArray salt; ///< crypto_pwhash_SALTBYTES
    QByteArray nonce; ///< crypto_aead_xchacha20poly1305_ietf_NPUBBYTES
    /// Version 2: the bytes after the header (the sealed payload), and the check value of the key,
    /// which tells a wrong password from a damaged file before anything is decrypted.
    quint32 sealedSize = 0;
    QByteArray keyCheck;
};

/// Bytes of the header (version 2, and version 1), of the key, and the largest file: larger
/// files are neither written nor read.
inline constexpr qsizetype HeaderSize = 96;
inline constexpr qsizetype Version1HeaderSize = 60;
inline constexpr qsizetype KeySize = 32;
inline constexpr qsizetype MaximumFileSize = 64 * 1024 * 1024;

/// The header of new files: fresh salt, libsodium's "interactive" limits.
QMF_STORAGE_EXPORT Header newHeader();
/// Reads and checks the header (of either version). errSecDecode, with what is wrong in words
/// ("it is not a keychain file", "it is cut short", "its header is damaged", ...) as the reason,
/// for anything that is not an intact header of ours with limits in the accepted range (which
/// bounds the work a file can ask for).
QMF_STORAGE_EXPORT QMKeychainResult readHeader(const QByteArray &file, Header *header);
/// The key for a password under the header's salt and limits (Argon2id); empty when libsodium
/// cannot get the memory.
QMF_STORAGE_EXPORT QByteArray deriveKey(const QByteArray &password, const Header &header);

/// The size of the file that seal() makes of a payload of `payloadSize` bytes.
QMF_STORAGE_EXPORT qint64 sealedFileSize(qint64 payloadSize);
/// The whole file for `records`: a version-2 header with a fresh nonce and the key's check
/// value, then the encrypted item set.
QMF_STORAGE_EXPORT QByteArray encrypt(Header header, const QByteArray &key,
                                      const QList<QMKeychainRecord> &records);
/// The same for any payload bytes (encrypt() seals encodeRecords()).
QMF_STORAGE_EXPORT QByteArray seal(Header header, const QByteArray &key, QByteArray payload);
/// Reads a whole file. `keyFor` gives the key for the header (an empty key fails with
/// errSecInternalComponent, libsodium having found no memory). Fails with
/// - errSecDecode for a damaged, cut or foreign file, or an authentic payload that is not an
///   item set;
/// - errSecAuthFailed for a wrong key: told by the key check before decrypting (version 2), or by
///   a failed decryption, which in a version-1 file may as well be damage.
/// The reason says what is wrong in words, for a message after the file's path.
QMF_STORAGE_EXPORT QMKeychainResult decrypt(const QByteArray &file,
                                            const std::function<QByteArray(const Header &)> &keyFor,
                                            QList<QMKeychainRecord> *records,
                                            Header *header = nullptr);

/// The item set as CBOR, and back (errSecDecode for anything else, nothing partial).
QMF_STORAGE_EXPORT QByteArray encodeRecords(const QList<QMKeychainRecord> &records);
QMF_STORAGE_EXPORT OSStatus decodeRecords(const QByteArray &payload,
                                          QList<QMKeychainRecord> *records);

} // namespace QMKeychainFileFormat

/// One keychain file, opened with its password. Each operation takes a kernel lock on the file
/// (QMFileLock: shared to read, exclusive to change; it dies with its process), reads and
/// decrypts it, and, when something changed, puts a new file in its place atomically (mode 0600),
/// so concurrent writers lose nothing and a writer killed at any point leaves the old file or the
/// new one. Readers need no write access to the file or its folder.
class QMF_STORAGE_EXPORT QMKeychainFile : public QMKeychainBackend
{
public:
    QMKeychainFile(const QString &path, const QByteArray &password);
    ~QMKeychainFile() override;

    QString path() const { return m_path; }

    /// Writes a new, empty file; errSecDuplicateKeychain when something exists at the path (also
    /// one that another process put there meanwhile: it is never replaced).
    QMKeychainResult create();
    /// Reads the file once to check the password.
    QMKeychainResult open();
    /// Deletes the file; errSecNoSuchKeychain when it is gone.
    QMKeychainResult remove();

    QMKeychainResult transaction(Access access,
                                 const std::function<QMKeychainResult()> &body) override;
    QMKeychainResult search(const QVariantMap &match, QList<QMKeychainRecord> *records) override;
    QMKeychainResult create(QMKeychainRecord *record) override;
    QMKeychainResult replace(QMKeychainRecord *record) override;
    QMKeychainResult erase(const QMKeychainRecord &record) override;
    QMKeychainRef handle() const override;

    std::weak_ptr<QMKeychainFile> self;

private:
    /// Takes m_mutex in `guard`, waiting at most the time-out (and no longer than the current
    /// call is not cancelled); the failure for `verb` otherwise.
    QMKeychainResult lockObject(std::unique_lock<QMKeychainTimedMutex> &guard,
                                const char *verb) const;
    /// Locks the file in `lock` (shared to read, exclusive to write), waiting for other processes
    /// as lockObject() does.
    QMKeychainResult lockFile(QMFileLock &lock, Access access, const char *verb) const;
    QMKeychainResult read(const QMFileLock &lock);
    QMKeychainResult write();
    /// The result for a refusal of the system (or of QMFileLock) while doing `action` ("read",
    /// "write", "create", "delete") to the file.
    QMKeychainResult failure(const QMFileStatus &status, const char *action) const;
    QByteArray keyFor(const QMKeychainFileFormat::Header &header);

    const QString m_path;
    QByteArray m_password;
    // One operation of this object at a time, across threads; the fields below are used under it.
    QMKeychainTimedMutex m_mutex;
    bool m_dirty = false;
    QMKeychainFileFormat::Header m_header;
    QList<QMKeychainRecord> m_records;
    QByteArray m_key;
    QByteArray m_keyParameters;
};
