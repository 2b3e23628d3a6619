#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/keychain/QMGenericPasswordKeychainItem.h>
#include <QMFoundation/keychain/QMInternetPasswordKeychainItem.h>
#include <QMFoundation/keychain/QMKeychainError.h>
#include <QMFoundation/keychain/QMKeychainItem.h>

#include <QFuture>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

/// One keychain: the user's default keychain, or a keychain file.
///
/// The default keychain is the user's keyring of the freedesktop Secret Service (through
/// libsecret), shared with the desktop's password manager and other programs; items go into its
/// default collection, lookups see every collection, and a locked keyring fails with
/// errSecInteractionNotAllowed (the library never prompts). No Secret Service on the session bus
/// fails with errSecNotAvailable, and so does one that does not answer within timeout(): each
/// call (a lookup, an add, an update, a delete) ends by then, its failure reason saying it timed
/// out. What other programs see of the items is described in docs/guide/keychain.md.
///
/// A keychain file is encrypted as a whole with a key derived from its password (Argon2id,
/// XChaCha20-Poly1305) and holds at most 64 MiB: a change that would make it larger is refused
/// with errSecDataTooLarge before anything is written, and a larger file is not read. A wrong
/// password fails with errSecAuthFailed, and a damaged, cut or foreign file with errSecDecode;
/// either reads nothing. Each call takes a kernel lock on the file (shared to read, exclusive to
/// change; it dies with its holder, so a crashed writer never blocks anyone) and waits at most
/// timeout() for other holders; a change writes a new file and puts it in place of the old in one
/// step (mode 0600), so writers in several processes lose nothing and a writer killed at any
/// point leaves the old file or the new one, whole. Reading needs no write access to the file or
/// its folder. Only regular files are read; anything else at the path (a FIFO, a device, a
/// folder) is errSecParam. Errors about a file carry its path (QMKeychainErrorPathKey) and say
/// what happened as their failure reason: "Cannot read the keychain file PATH: Permission
/// denied." (errSecRdPerm), and likewise for writing (errSecWrPerm) and other system failures
/// (errSecIO).
///
/// Lookups that return one item take the first match, and list lookups return items, in the
/// keychain's order: oldest first (by creation time, then by the order the keyring numbered
/// them or, in a file, the order they were added).
///
/// The lookups on the default keychain without a keychain object are the item classes' static
/// functions (QMInternetPasswordKeychainItem::findInternetPasswordForURL(URL, error), ...): a
/// static and a member function of the same parameters cannot share a name here.
///
/// Calls block until the keyring or the file answers, or timeout() passes; they may come from
/// any thread.
///
/// Each call that may wait has an asynchronous form (suffix `Async`) that runs the call on a thread
/// of the library and returns a QFuture: it resolves with what the call returns (a null item when
/// nothing matched: not an error; a list where the call returns an optional list), or fails with
/// the QMError the call would have filled in (handle it with `onFailed()` taking a
/// `const QMError &`). Cancelling the future stops the call where it waits: a Secret Service
/// request is abandoned at once, and a wait for a keychain file's lock (another process's or
/// another thread's) ends within 20 ms; the future then reads as cancelled, with no error (a
/// cancel is neither a time-out nor errSecUserCanceled). Deriving a file's key (Argon2id) is not
/// cut short. A cancelled change may have been made already, or, in the desktop keyring, partly
/// (as one cut off by the time-out). Contract violations throw on the calling thread, as the
/// synchronous form would. The items a future resolves with are the caller's from then on.
class QMF_STORAGE_EXPORT QMKeychain : public QMObjectDescribing,
                                      public std::enable_shared_from_this<QMKeychain>
{
public:
    /// A shared keychain.
    using Ptr = std::shared_ptr<QMKeychain>;

    /// The default keychain (no handle).
    QMKeychain();
    /// The keychain of a handle; a null handle is the default keychain.
    explicit QMKeychain(QMKeychainRef keychainRef);
    ~QMKeychain() override;

    /// The shared default keychain, made once on first use.
    static Ptr defaultKeychain();
    /// A new keychain object of `keychainRef`; a null handle is the default keychain.
    static Ptr keychainWithKeychainRef(QMKeychainRef keychainRef);

    /// Makes a new, empty keychain file at `path`, encrypted with `password` (a null password
    /// asks the password provider). None with the keychain error: errSecDuplicateKeychain when
    /// something exists at the path, errSecWrPerm or errSecIO when it cannot be written,
    /// errSecInteractionNotAllowed without a password and provider, errSecUserCanceled when the
    /// provider gives none. Throws "Invalid parameter not satisfying: path != nil" for a null
    /// path.
    static Ptr keychainWithPath(const QString &path, const QString &password,
                                QMError *error = nullptr);
    /// Opens the existing keychain file at `path` with its password (a null password asks the
    /// provider): errSecNoSuchKeychain when there is none, errSecAuthFailed for a wrong password,
    /// errSecDecode for a damaged file, errSecRdPerm when it may not be read. Throws "Invalid
    /// parameter not satisfying: path != nil" for a null path.
    static Ptr openKeychainWithPath(const QString &path, const QString &password,
                                    QMError *error = nullptr);

    /// keychainWithPath() on a thread of the library, so that deriving the key (Argon2id, tens of
    /// milliseconds to seconds) never holds up the calling thread. A null password asks the
    /// password provider on that library thread (see PasswordProvider).
    static QFuture<Ptr> keychainWithPathAsync(const QString &path, const QString &password);
    /// openKeychainWithPath() on a thread of the library, as keychainWithPathAsync(): fails with
    /// errSecAuthFailed for a wrong password, errSecNoSuchKeychain when there is no file, ...
    static QFuture<Ptr> openKeychainWithPathAsync(const QString &path, const QString &password);

    /// Asked for the password of a keychain file (its path in the argument) when none is given;
    /// a null QString declines. Set by the host (e.g. to show a dialog); called on the thread that
    /// opens the keychain: the calling thread for keychainWithPath() and openKeychainWithPath(),
    /// a thread of the library for their `Async` forms. A provider that shows a dialog there asks
    /// the GUI thread for it (QMetaObject::invokeMethod() with Qt::BlockingQueuedConnection,
    /// which is safe because the GUI thread does not wait for the future), or the host gives
    /// the password to the asynchronous form itself. Without a provider such calls fail with
    /// errSecInteractionNotAllowed.
    using PasswordProvider = std::function<QString(const QString &path)>;
    /// Sets the process-wide password provider; an empty function removes it.
    static void setPasswordProvider(PasswordProvider provider);

    /// The longest one call of the credential store waits for another process: for the desktop
    /// keyring to answer (the call as a whole, from reaching the session bus to the last reply),
    /// or for another process's lock on a keychain file. Then the call fails: errSecNotAvailable
    /// for the keyring, errSecIO for a file, each with a failure reason that says it timed out
    /// (never errSecUserCanceled). 5 seconds by default; process-wide, for calls that start
    /// after the change; negative durations count as 0. The keyring has no transactions: an
    /// update cut off at the deadline may have changed some of the item's attributes already.
    static void setTimeout(std::chrono::milliseconds timeout);
    /// The current time-out of store calls (see setTimeout()).
    static std::chrono::milliseconds timeout();

    /// True for "ftp", "ftps", "http", "https" and "ssh".
    static bool supportsProtocol(const QString &protocol);

    /// The keychain file's handle; null for the default keychain.
    QMKeychainRef keychainRef() const;
    /// The file's path; a null QString for the default keychain.
    QString path() const;
    /// True for the user's default keychain.
    bool isDefaultKeychain() const;

    /// QMInternetPasswordKeychainItem::findInternetPasswordForURL() in this keychain.
    QMInternetPasswordKeychainItem::Ptr findInternetPasswordForURL(const QUrl &URL,
                                                                   QMError *error = nullptr);
    /// QMInternetPasswordKeychainItem::findAllInternetPasswordsForURL() in this keychain.
    std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
    findAllInternetPasswordsForURL(const QUrl &URL, QMError *error = nullptr);
    /// Every internet password of this keychain, oldest first, without passwords.
    std::optional<QList<QMInternetPasswordKeychainItem::Ptr>>
    findAllInternetPasswords(QMError *error = nullptr);
    /// Every generic password of this keychain, oldest first, without passwords.
    std::optional<QList<QMGenericPasswordKeychainItem::Ptr>> findAllGenericPasswords(QMError *error
                                                                                     = nullptr);
    /// QMGenericPasswordKeychainItem::findGenericPasswordItemForAccount() in this keychain.
    QMGenericPasswordKeychainItem::Ptr findGenericPasswordItemForAccount(const QString &account,
                                                                         const QString &service,
                                                                         QMError *error = nullptr);
    /// QMInternetPasswordKeychainItem::addInternetPasswordToKeychain() to this keychain.
    QMInternetPasswordKeychainItem::Ptr
    addInternetPasswordWithURL(const QUrl &URL, const QString &password, QMError *error = nullptr);
    /// QMGenericPasswordKeychainItem::addGenericPasswordToKeychain() to this keychain.
    QMGenericPasswordKeychainItem::Ptr addGenericPasswordWithAccount(const QString &account,
                                                                     const QString &service,
                                                                     const QString &password,
                                                                     QMError *error = nullptr);

    /// Sets the password of the item findInternetPasswordForURL() finds and saves it, or adds
    /// a new item when none is found (or the lookup failed). None with the save's or add's error.
    QMInternetPasswordKeychainItem::Ptr
    createOrUpdateInternetPasswordWithURL(const QUrl &URL, const QString &password,
                                          QMError *error = nullptr);
    /// As createOrUpdateInternetPasswordWithURL(), for the generic password of `account` and
    /// `service`.
    QMGenericPasswordKeychainItem::Ptr
    createOrUpdateGenericPasswordWithAccount(const QString &account, const QString &service,
                                             const QString &password, QMError *error = nullptr);

    /// findInternetPasswordForURL() on a thread of the library; a null item when none matches.
    /// Throws "Invalid parameter not satisfying: URL != nil" for an empty URL.
    QFuture<QMInternetPasswordKeychainItem::Ptr> findInternetPasswordForURLAsync(const QUrl &URL);
    /// findAllInternetPasswordsForURL() on a thread of the library.
    QFuture<QList<QMInternetPasswordKeychainItem::Ptr>>
    findAllInternetPasswordsForURLAsync(const QUrl &URL);
    /// findAllInternetPasswords() on a thread of the library.
    QFuture<QList<QMInternetPasswordKeychainItem::Ptr>> findAllInternetPasswordsAsync();
    /// findAllGenericPasswords() on a thread of the library.
    QFuture<QList<QMGenericPasswordKeychainItem::Ptr>> findAllGenericPasswordsAsync();
    /// findGenericPasswordItemForAccount() on a thread of the library; a null item when none
    /// matches.
    QFuture<QMGenericPasswordKeychainItem::Ptr>
    findGenericPasswordItemForAccountAsync(const QString &account, const QString &service);
    /// addInternetPasswordWithURL() on a thread of the library.
    QFuture<QMInternetPasswordKeychainItem::Ptr>
    addInternetPasswordWithURLAsync(const QUrl &URL, const QString &password);
    /// addGenericPasswordWithAccount() on a thread of the library.
    QFuture<QMGenericPasswordKeychainItem::Ptr>
    addGenericPasswordWithAccountAsync(const QString &account, const QString &service,
                                       const QString &password);
    /// createOrUpdateInternetPasswordWithURL() on a thread of the library. Throws as
    /// findInternetPasswordForURLAsync() does.
    QFuture<QMInternetPasswordKeychainItem::Ptr>
    createOrUpdateInternetPasswordWithURLAsync(const QUrl &URL, const QString &password);
    /// createOrUpdateGenericPasswordWithAccount() on a thread of the library.
    QFuture<QMGenericPasswordKeychainItem::Ptr>
    createOrUpdateGenericPasswordWithAccountAsync(const QString &account, const QString &service,
                                                  const QString &password);

    /// Deletes the keychain file. Throws std::invalid_argument "The user's default keychain
    /// cannot be deleted." for the default keychain.
    bool destroy(QMError *error = nullptr);

    /// path and isDefaultKeychain.
    QString description() const;

    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;

private:
    Ptr self();

    struct Private;
    std::unique_ptr<Private> d;
};

namespace QMKeychainURL {

/// The URL under which a credential is filed: scheme, user, host and port, then the path
/// cleaned (QDir::cleanPath()) with a trailing "/"; a path that cleans to "/" or nothing gives
/// no path. Password, query and fragment are dropped:
/// "https://joe:pw@example.com:8443/a/./b?q#f" gives "https://joe@example.com:8443/a/b/".
QMF_STORAGE_EXPORT QUrl normalizedKeychainURL(const QUrl &url);

} // namespace QMKeychainURL
