#include <QMFoundation/keychain/QMKeychainError.h>

#include <QCoreApplication>

using namespace Qt::Literals::StringLiterals;

const QString QMKeychainErrorDomain = u"QMKeychainErrorDomain"_s;
const QString QMKeychainErrorPathKey = u"QMKeychainErrorPath"_s;

QString QMKeychainErrors::messageForStatus(OSStatus status)
{
    // The texts other keychain services give for these numbers, so that the pair reads the same
    // everywhere.
    const char *text = nullptr;
    switch (status) {
    case errSecSuccess:
        text = "No error.";
        break;
    case errSecIO:
        text = "I/O error.";
        break;
    case errSecParam:
        text = "One or more parameters passed to a function were not valid.";
        break;
    case errSecRdPerm:
        text = "Read permissions error.";
        break;
    case errSecWrPerm:
        text = "Write permissions error.";
        break;
    case errSecUserCanceled:
        text = "User canceled the operation.";
        break;
    case errSecInternalComponent:
        text = "An internal component failed.";
        break;
    case errSecNotAvailable:
        text = "No keychain is available. You may need to restart your computer.";
        break;
    case errSecAuthFailed:
        text = "The user name or passphrase you entered is not correct.";
        break;
    case errSecNoSuchKeychain:
        text = "The specified keychain could not be found.";
        break;
    case errSecDuplicateKeychain:
        text = "A keychain with the same name already exists.";
        break;
    case errSecDuplicateItem:
        text = "The specified item already exists in the keychain.";
        break;
    case errSecItemNotFound:
        text = "The specified item could not be found in the keychain.";
        break;
    case errSecDataTooLarge:
        text = "This item contains information which is too large or in a format that cannot be "
               "displayed.";
        break;
    case errSecNoDefaultKeychain:
        text = "A default keychain could not be found.";
        break;
    case errSecInteractionNotAllowed:
        text = "User interaction is not allowed.";
        break;
    case errSecDecode:
        text = "Unable to decode the provided data.";
        break;
    default:
        return QString();
    }
    return QCoreApplication::translate("QMKeychain", text);
}

QMError QMKeychainErrors::keychainErrorFromOSStatus(OSStatus status)
{
    const QString message = messageForStatus(status);
    QVariantMap userInfo;
    if (!message.isNull()) {
        userInfo.insert(QMLocalizedDescriptionKey, message);
        userInfo.insert(QMLocalizedFailureReasonErrorKey, message);
    }
    return QMError(QMKeychainErrorDomain, status, userInfo);
}

QMError QMKeychainErrors::keychainError(OSStatus status, const QString &reason, const QString &path)
{
    const QMError plain = keychainErrorFromOSStatus(status);
    QVariantMap userInfo = plain.userInfo();
    if (!reason.isEmpty())
        userInfo.insert(QMLocalizedFailureReasonErrorKey, reason);
    if (!path.isEmpty())
        userInfo.insert(QMKeychainErrorPathKey, path);
    return QMError(QMKeychainErrorDomain, status, userInfo);
}
