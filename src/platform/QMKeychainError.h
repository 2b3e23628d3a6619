#pragma once

#include "QMFoundationStorageExport.h"

#include "errors/QMError.h"

#include <QString>

/// The error domain of the credential store, "QMKeychainErrorDomain".
QMF_STORAGE_EXPORT extern const QString QMKeychainErrorDomain;

/// A status of the credential store: 0 for success, a negative number for a failure. The
/// numbers are the ones the keychain services of other desktops use, so that hosts which already
/// know them (and their users' bug reports) read them the same way here.
using OSStatus = qint32;

/// The statuses the credential store gives. Failures of the desktop keyring (D-Bus, the Secret
/// Service) and of keychain files are reported as the nearest of these.
enum QMKeychainStatus : OSStatus {
    /// Success.
    errSecSuccess = 0,
    /// A file could not be read or written.
    errSecIO = -36,
    /// A parameter was not valid (an attribute of the wrong type, a path that is a directory).
    errSecParam = -50,
    /// A file could not be written for lack of permission.
    errSecWrPerm = -61,
    /// The user (or the host's password provider) declined to give a password.
    errSecUserCanceled = -128,
    /// The desktop keyring failed in a way none of the other statuses describes.
    errSecInternalComponent = -2070,
    /// No keyring is reachable: no Secret Service on the session bus.
    errSecNotAvailable = -25291,
    /// A wrong password, or a keychain file that was changed, cut short or is not one.
    errSecAuthFailed = -25293,
    /// The keychain file does not exist.
    errSecNoSuchKeychain = -25294,
    /// A keychain file already exists at the path.
    errSecDuplicateKeychain = -25296,
    /// An item with the same key attributes already exists.
    errSecDuplicateItem = -25299,
    /// No item matches.
    errSecItemNotFound = -25300,
    /// The keyring has no default collection.
    errSecNoDefaultKeychain = -25307,
    /// The operation would need the user: the keyring is locked, or no password provider is set.
    errSecInteractionNotAllowed = -25308,
    /// A keychain file was authenticated but its content is not a set of items.
    errSecDecode = -26275,
};

namespace QMKeychainErrors {

/// The message of a status, or a null QString for a status the store never gives.
QMF_STORAGE_EXPORT QString messageForStatus(OSStatus status);

/// The error for a status: QMKeychainErrorDomain, the status as the code, and, when the status
/// has a message, that message as both the localized description and the failure reason;
/// otherwise no user information.
QMF_STORAGE_EXPORT QMError keychainErrorFromOSStatus(OSStatus status);

} // namespace QMKeychainErrors
