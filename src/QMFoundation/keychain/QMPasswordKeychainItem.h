#pragma once

#include <QMFoundation/keychain/QMKeychainItem.h>

#include <QDateTime>

/// A keychain item that holds a password, with accessors for the attributes both kinds of
/// password share.
///
/// Descriptions (description(), prettyDescription()) of password items include the password
/// in clear text: do not log them.
class QMF_STORAGE_EXPORT QMPasswordKeychainItem : public QMKeychainItem
{
public:
    using QMKeychainItem::QMKeychainItem;

    /// Set by the store; read only.
    QDateTime creationDate() const;
    /// Set by the store; read only.
    QDateTime modificationDate() const;
    /// The QMKeychainAttrDescription text, a description of the item for the user.
    QString userDescription() const;
    /// Records a pending description; a null text removes it.
    void setUserDescription(const QString &userDescription);
    /// The QMKeychainAttrComment text.
    QString comment() const;
    /// Records a pending comment; a null text removes it.
    void setComment(const QString &comment);
    /// Read only.
    QString creator() const;
    /// Absent reads as false.
    bool isInvisible() const;
    /// Records a pending QMKeychainAttrIsInvisible flag, which the library stores and does not
    /// interpret.
    void setInvisible(bool invisible);
    /// The QMKeychainAttrIsNegative flag, which the library stores and does not interpret; absent
    /// reads as false.
    bool isNegative() const;
    /// Records a pending negative flag.
    void setNegative(bool negative);
    /// The QMKeychainAttrAccount text: the user name the password belongs to.
    QString account() const;
    /// A null account is ignored.
    void setAccount(const QString &account);
    /// The password bytes decoded as UTF-8; a null QString when the item holds none (items from
    /// list lookups carry no passwords).
    QString password() const;
    /// Stores the UTF-8 bytes; a null QString removes the password.
    void setPassword(const QString &password);

    QString className() const override;
    QVariant valueForKey(const QString &key) const override;

protected:
    /// A text attribute setter: a null text records the removal of the attribute.
    void setText(const QString &value, const QString &key);
};
