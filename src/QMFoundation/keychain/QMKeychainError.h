#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QString>

/// The error domain of the credential store, "QMKeychainErrorDomain".
QMF_STORAGE_EXPORT extern const QString QMKeychainErrorDomain;
/// The userInfo key of the keychain file an error is about (its absolute path, a QString),
/// "QMKeychainErrorPath".
QMF_STORAGE_EXPORT extern const QString QMKeychainErrorPathKey;

/// A status of the credential store: 0 for success, a negative number for a failure. The
/// numbers are the ones the keychain services of other desktops use, so that hosts which already
/// know them (and their users' bug reports) read them the same way here.
using OSStatus = qint32;

/// The statuses the credential store gives. Failures of the desktop keyring (D-Bus, the Secret
/// Service) and of keychain files are reported as the nearest of these. Errors about a keychain
/// file carry its path under QMKeychainErrorPathKey and say what happened, with the system's
/// reason where the system refused, as their failure reason.
enum QMKeychainStatus : OSStatus {
    /// Success.
    errSecSuccess = 0,
    /// A file could not be read or written for another reason than permission (the failure
    /// reason gives the system's), or another process held a keychain file's lock past the
    /// time-out (QMKeychain::setTimeout()).
    errSecIO = -36,
    /// A parameter was not valid: an attribute of the wrong type or unknown key, a keychain path
    /// that is not a regular file (a directory, a FIFO, a device), or a delete or update that
    /// does not name one item (see QMKeychainItem::destroy()).
    errSecParam = -50,
    /// A keychain file could not be read for lack of permission.
    errSecRdPerm = -54,
    /// A keychain file could not be written for lack of permission (on the file or its
    /// directory, or a read-only file system).
    errSecWrPerm = -61,
    /// The user (or the host's password provider) declined to give a password.
    errSecUserCanceled = -128,
    /// The desktop keyring failed in a way none of the other statuses describes.
    errSecInternalComponent = -2070,
    /// No keyring is reachable: no Secret Service on the session bus, or it did not answer
    /// within the time-out (QMKeychain::setTimeout(); the failure reason then says so).
    errSecNotAvailable = -25291,
    /// A wrong password. (A keychain file of format version 1, which has no key check, cannot
    /// tell a wrong password from damage to its content, and reports both this way.)
    errSecAuthFailed = -25293,
    /// The keychain file does not exist.
    errSecNoSuchKeychain = -25294,
    /// A keychain file already exists at the path.
    errSecDuplicateKeychain = -25296,
    /// An item with the same key attributes already exists.
    errSecDuplicateItem = -25299,
    /// No item matches.
    errSecItemNotFound = -25300,
    /// A keychain file is, or would become, larger than the most a keychain file may hold
    /// (64 MiB): it is not read, or the change is refused and the file stays as it was.
    errSecDataTooLarge = -25302,
    /// The keyring has no default collection.
    errSecNoDefaultKeychain = -25307,
    /// The operation would need the user: the keyring is locked, or no password provider is set.
    errSecInteractionNotAllowed = -25308,
    /// A keychain file is damaged, cut short or not a keychain file at all (the failure reason
    /// says which), or its format version is newer than this library reads.
    errSecDecode = -26275,
};

namespace QMKeychainErrors {

/// The message of a status, or a null QString for a status the store never gives.
QMF_STORAGE_EXPORT QString messageForStatus(OSStatus status);

/// The error for a status: QMKeychainErrorDomain, the status as the code, and, when the status
/// has a message, that message as both the localized description and the failure reason;
/// otherwise no user information.
QMF_STORAGE_EXPORT QMError keychainErrorFromOSStatus(OSStatus status);

/// keychainErrorFromOSStatus() with the detail of one failure beside the status's message:
/// `reason` (when not empty) as the failure reason, and `path` (when not empty) under
/// QMKeychainErrorPathKey.
QMF_STORAGE_EXPORT QMError keychainError(OSStatus status, const QString &reason,
                                         const QString &path = QString());

} // namespace QMKeychainErrors
