#include <QMFoundation/keychain/QMGenericPasswordKeychainItem.h>

#include <QMFoundation/keychain/QMKeychain.h>

using namespace Qt::Literals::StringLiterals;

QVariantMap QMGenericPasswordKeychainItem::queryAttributesWithAttributes(
        const QVariantMap &attributes, const std::shared_ptr<QMKeychain> &keychain)
{
    return queryAttributes(keychainItemTypeRef(), attributes, keychain);
}

QString QMGenericPasswordKeychainItem::service() const
{
    return objectForKey(QMKeychainAttrService).toString();
}

void QMGenericPasswordKeychainItem::setService(const QString &service)
{
    setText(service, QMKeychainAttrService);
}

QByteArray QMGenericPasswordKeychainItem::genericData() const
{
    return objectForKey(QMKeychainAttrGeneric).toByteArray();
}

void QMGenericPasswordKeychainItem::setGenericData(const QByteArray &genericData)
{
    setObject(genericData.isNull() ? QVariant() : QVariant(genericData), QMKeychainAttrGeneric);
}

QMGenericPasswordKeychainItem::Ptr QMGenericPasswordKeychainItem::genericPasswordItemWithKeychain(
        const std::shared_ptr<QMKeychain> &keychain, const QString &account, const QString &service,
        const QString &password)
{
    auto item = std::make_shared<QMGenericPasswordKeychainItem>(keychain);
    item->setAccount(account);
    item->setService(service);
    item->setPassword(password);
    return item;
}

QMGenericPasswordKeychainItem::Ptr QMGenericPasswordKeychainItem::addGenericPasswordToKeychain(
        const std::shared_ptr<QMKeychain> &keychain, const QString &account, const QString &service,
        const QString &password, QMError *error)
{
    Ptr item = genericPasswordItemWithKeychain(keychain, account, service, password);
    return item->save(error) ? item : nullptr;
}

QMGenericPasswordKeychainItem::Ptr QMGenericPasswordKeychainItem::findGenericPasswordItemForAccount(
        const QString &account, const QString &service, QMError *error)
{
    return findGenericPasswordItemForAccount(account, service, QMKeychain::defaultKeychain(),
                                             error);
}

QMGenericPasswordKeychainItem::Ptr QMGenericPasswordKeychainItem::findGenericPasswordItemForAccount(
        const QString &account, const QString &service, const std::shared_ptr<QMKeychain> &keychain,
        QMError *error)
{
    QVariantMap attributes {{QMKeychainAttrClass, keychainItemTypeRef()}};
    if (!account.isNull())
        attributes.insert(QMKeychainAttrAccount, account);
    if (!service.isNull())
        attributes.insert(QMKeychainAttrService, service);
    const auto found = findKeychainItemWithAttributes(attributes, keychain, error);
    return found ? std::make_shared<QMGenericPasswordKeychainItem>(keychain, *found) : nullptr;
}

std::optional<QList<QMGenericPasswordKeychainItem::Ptr>>
QMGenericPasswordKeychainItem::findAllGenericPasswordItemsInKeychain(
        const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    const auto found = findAll(keychainItemTypeRef(), {}, keychain, error);
    if (!found)
        return std::nullopt;
    QList<Ptr> items;
    for (const QVariantMap &attributes : *found)
        items.append(std::make_shared<QMGenericPasswordKeychainItem>(keychain, attributes));
    return items;
}

QVariantMap QMGenericPasswordKeychainItem::dictionaryRepresentation() const
{
    QVariantMap dictionary;
    for (const QString &key :
         {u"label"_s, u"creationDate"_s, u"modificationDate"_s, u"account"_s, u"service"_s})
        dictionary.insert(key, prettyDescriptionForObject(valueForKey(key)));
    return dictionary;
}

QString QMGenericPasswordKeychainItem::description() const
{
    return prettyDescriptionWithItems({u"label"_s, u"creationDate"_s, u"modificationDate"_s,
                                       u"userDescription"_s, u"comment"_s, u"isInvisible"_s,
                                       u"isNegative"_s, u"account"_s, u"password"_s, u"service"_s});
}

QString QMGenericPasswordKeychainItem::className() const
{
    return u"QMGenericPasswordKeychainItem"_s;
}

std::optional<QStringList> QMGenericPasswordKeychainItem::attributeKeys() const
{
    return QStringList {u"label"_s, u"creationDate"_s, u"modificationDate"_s, u"account"_s,
                        u"service"_s};
}

QVariant QMGenericPasswordKeychainItem::valueForKey(const QString &key) const
{
    if (key == u"service"_s)
        return service().isNull() ? QVariant() : QVariant(service());
    if (key == u"genericData"_s)
        return genericData().isNull() ? QVariant() : QVariant(genericData());
    return QMPasswordKeychainItem::valueForKey(key);
}
