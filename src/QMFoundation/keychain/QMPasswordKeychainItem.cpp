#include <QMFoundation/keychain/QMPasswordKeychainItem.h>

#include <QMFoundation/text/QMStringDecoding.h>

using namespace Qt::Literals::StringLiterals;

QDateTime QMPasswordKeychainItem::creationDate() const
{
    return objectForKey(QMKeychainAttrCreationDate).toDateTime();
}

QDateTime QMPasswordKeychainItem::modificationDate() const
{
    return objectForKey(QMKeychainAttrModificationDate).toDateTime();
}

QString QMPasswordKeychainItem::userDescription() const
{
    return objectForKey(QMKeychainAttrDescription).toString();
}

void QMPasswordKeychainItem::setUserDescription(const QString &userDescription)
{
    setText(userDescription, QMKeychainAttrDescription);
}

QString QMPasswordKeychainItem::comment() const
{
    return objectForKey(QMKeychainAttrComment).toString();
}

void QMPasswordKeychainItem::setComment(const QString &comment)
{
    setText(comment, QMKeychainAttrComment);
}

QString QMPasswordKeychainItem::creator() const
{
    return objectForKey(QMKeychainAttrCreator).toString();
}

bool QMPasswordKeychainItem::isInvisible() const
{
    return objectForKey(QMKeychainAttrIsInvisible).toBool();
}

void QMPasswordKeychainItem::setInvisible(bool invisible)
{
    setObject(invisible, QMKeychainAttrIsInvisible);
}

bool QMPasswordKeychainItem::isNegative() const
{
    return objectForKey(QMKeychainAttrIsNegative).toBool();
}

void QMPasswordKeychainItem::setNegative(bool negative)
{
    setObject(negative, QMKeychainAttrIsNegative);
}

QString QMPasswordKeychainItem::account() const
{
    return objectForKey(QMKeychainAttrAccount).toString();
}

void QMPasswordKeychainItem::setAccount(const QString &account)
{
    if (!account.isNull())
        setObject(account, QMKeychainAttrAccount);
}

QString QMPasswordKeychainItem::password() const
{
    const QVariant data = objectForKey(QMKeychainValueData);
    return data.isValid() ? QMStringDecoding::stringByDecodingUTF8(data.toByteArray()) : QString();
}

void QMPasswordKeychainItem::setPassword(const QString &password)
{
    setObject(password.isNull() ? QVariant() : QVariant(password.toUtf8()), QMKeychainValueData);
}

void QMPasswordKeychainItem::setText(const QString &value, const QString &key)
{
    setObject(value.isNull() ? QVariant() : QVariant(value), key);
}

QString QMPasswordKeychainItem::className() const
{
    return u"QMPasswordKeychainItem"_s;
}

QVariant QMPasswordKeychainItem::valueForKey(const QString &key) const
{
    const auto text = [](const QString &value) {
        return value.isNull() ? QVariant() : QVariant(value);
    };
    const auto date = [](const QDateTime &value) {
        return value.isValid() ? QVariant(value) : QVariant();
    };
    if (key == u"creationDate"_s)
        return date(creationDate());
    if (key == u"modificationDate"_s)
        return date(modificationDate());
    if (key == u"userDescription"_s)
        return text(userDescription());
    if (key == u"comment"_s)
        return text(comment());
    if (key == u"creator"_s)
        return text(creator());
    if (key == u"isInvisible"_s)
        return isInvisible();
    if (key == u"isNegative"_s)
        return isNegative();
    if (key == u"account"_s)
        return text(account());
    if (key == u"password"_s)
        return text(password());
    return QMKeychainItem::valueForKey(key);
}
