#include <QMFoundation/keychain/QMKeychainItem.h>

#include "QMFoundation/keychain/QMKeychainStore_p.h"
#include <QMFoundation/keychain/QMKeychain.h>

using namespace Qt::Literals::StringLiterals;

struct QMKeychainItem::Private
{
    std::shared_ptr<QMKeychain> keychain;
    QVariantMap itemAttributes;
    QVariantMap modifiedItemAttributes;
};

QMKeychainItem::QMKeychainItem(std::shared_ptr<QMKeychain> keychain, const QVariantMap &attributes)
    : d(std::make_unique<Private>())
{
    if (!keychain) {
        const QVariant ref = attributes.value(QMKeychainValueRef);
        keychain = ref.canConvert<QMKeychainItemRef>()
                ? QMKeychain::keychainWithKeychainRef(ref.value<QMKeychainItemRef>().keychain)
                : QMKeychain::defaultKeychain();
    }
    d->keychain = std::move(keychain);
    d->itemAttributes = attributes;
}

QMKeychainItem::~QMKeychainItem() = default;

std::shared_ptr<QMKeychain> QMKeychainItem::keychain() const
{
    return d->keychain;
}

QVariantMap QMKeychainItem::itemAttributes() const
{
    return d->itemAttributes;
}

QVariantMap QMKeychainItem::modifiedItemAttributes() const
{
    return d->modifiedItemAttributes;
}

bool QMKeychainItem::isNew() const
{
    return d->itemAttributes.isEmpty();
}

bool QMKeychainItem::isModified() const
{
    return !d->modifiedItemAttributes.isEmpty();
}

QVariant QMKeychainItem::objectForKey(const QString &key) const
{
    const auto pending = d->modifiedItemAttributes.constFind(key);
    if (pending != d->modifiedItemAttributes.cend())
        return *pending;
    return d->itemAttributes.value(key);
}

void QMKeychainItem::setObject(const QVariant &value, const QString &key)
{
    d->modifiedItemAttributes.insert(key, value);
}

QString QMKeychainItem::label() const
{
    return objectForKey(QMKeychainAttrLabel).toString();
}

void QMKeychainItem::setLabel(const QString &label)
{
    setObject(label.isNull() ? QVariant() : QVariant(label), QMKeychainAttrLabel);
}

std::optional<QMKeychainItemRef> QMKeychainItem::keychainItemRef() const
{
    const QVariant ref = objectForKey(QMKeychainValueRef);
    if (!ref.canConvert<QMKeychainItemRef>())
        return std::nullopt;
    return ref.value<QMKeychainItemRef>();
}

QVariantMap QMKeychainItem::queryAttributes(const QString &itemClass, const QVariantMap &attributes,
                                            const std::shared_ptr<QMKeychain> &keychain)
{
    QVariantMap query = attributes;
    if (itemClass.isNull())
        query.remove(QMKeychainAttrClass);
    else
        query.insert(QMKeychainAttrClass, itemClass);
    query.insert(QMKeychainMatchLimit, QMKeychainMatchLimitOne);
    query.insert(QMKeychainReturnData, true);
    query.insert(QMKeychainReturnAttributes, true);
    query.insert(QMKeychainReturnRef, true);
    if (keychain && keychain->keychainRef()) {
        query.insert(QMKeychainUseKeychain, QVariant::fromValue(keychain->keychainRef()));
        query.insert(QMKeychainMatchSearchList,
                     QVariant::fromValue(QList<QMKeychainRef> {keychain->keychainRef()}));
    }
    query.remove(QMKeychainAttrCreationDate);
    query.remove(QMKeychainAttrModificationDate);
    return query;
}

QVariantMap
QMKeychainItem::queryAttributesWithAttributes(const QVariantMap &attributes,
                                              const std::shared_ptr<QMKeychain> &keychain)
{
    return queryAttributes(keychainItemTypeRef(), attributes, keychain);
}

QVariantMap QMKeychainItem::queryAttributesWithAttributes(const QVariantMap &attributes) const
{
    return queryAttributes(itemTypeRef(), attributes, d->keychain);
}

std::optional<QVariantMap>
QMKeychainItem::findKeychainItemWithAttributes(const QVariantMap &attributes, QMError *error)
{
    return findKeychainItemWithAttributes(attributes, QMKeychain::defaultKeychain(), error);
}

std::optional<QVariantMap> QMKeychainItem::findKeychainItemWithAttributes(
        const QVariantMap &attributes, const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    // The attributes come in as a query already when a subclass forwards here; the base adds
    // what is missing without touching the class a subclass set.
    QVariantMap query = queryAttributes(attributes.value(QMKeychainAttrClass).toString(),
                                        attributes, keychain);
    QList<QVariantMap> results;
    const QMKeychainResult result = QMKeychainStore::copyMatching(query, &results);
    if (result.status == errSecItemNotFound) {
        QMSetError(error, QMError());
        return std::nullopt;
    }
    if (!result.ok()) {
        QMSetError(error, result.error());
        return std::nullopt;
    }
    return results.value(0);
}

std::optional<QList<QVariantMap>>
QMKeychainItem::findAll(const QString &itemClass, const QVariantMap &attributes,
                        const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    QVariantMap query = queryAttributes(itemClass, attributes, keychain);
    query.insert(QMKeychainMatchLimit, QMKeychainMatchLimitAll);
    query.remove(QMKeychainReturnData);
    QList<QVariantMap> results;
    const QMKeychainResult result = QMKeychainStore::copyMatching(query, &results);
    if (result.status == errSecItemNotFound)
        return QList<QVariantMap>();
    if (!result.ok()) {
        QMSetError(error, result.error());
        return std::nullopt;
    }
    return results;
}

std::optional<QList<QVariantMap>> QMKeychainItem::findAllKeychainItemsWithAttributes(
        const QVariantMap &attributes, const std::shared_ptr<QMKeychain> &keychain, QMError *error)
{
    return findAll(attributes.value(QMKeychainAttrClass).toString(), attributes, keychain, error);
}

bool QMKeychainItem::save(QMError *error)
{
    if (!isModified()) {
        QMSetError(error, QMError());
        return false;
    }
    QMKeychainResult result;
    if (isNew()) {
        QVariantMap stored;
        result = QMKeychainStore::add(queryAttributesWithAttributes(d->modifiedItemAttributes),
                                      &stored);
        if (result.ok())
            d->itemAttributes.insert(stored);
    } else {
        result = QMKeychainStore::update(queryAttributesWithAttributes(d->itemAttributes),
                                         d->modifiedItemAttributes);
        if (result.ok()) {
            for (auto it = d->modifiedItemAttributes.cbegin();
                 it != d->modifiedItemAttributes.cend(); ++it) {
                if (it->isValid())
                    d->itemAttributes.insert(it.key(), *it);
                else
                    d->itemAttributes.remove(it.key());
            }
        }
    }
    if (!result.ok()) {
        QMSetError(error, result.error());
        return false;
    }
    d->modifiedItemAttributes.clear();
    return true;
}

bool QMKeychainItem::destroy(QMError *error)
{
    // An item that was never stored has nothing to delete; its query would be the item class
    // alone (the store refuses such a query in any case, see QMKeychainStore::remove()).
    const QMKeychainResult result = isNew()
            ? QMKeychainResult(errSecItemNotFound)
            : QMKeychainStore::remove(queryAttributesWithAttributes(d->itemAttributes));
    if (!result.ok()) {
        QMSetError(error, result.error());
        return false;
    }
    return true;
}

QFuture<bool> QMKeychainItem::saveAsync()
{
    return QMKeychainStore::runAsync([owner = weak_from_this().lock(),
                                      item = this](QMError *error) { return item->save(error); });
}

QFuture<bool> QMKeychainItem::destroyAsync()
{
    return QMKeychainStore::runAsync([owner = weak_from_this().lock(), item = this](
                                             QMError *error) { return item->destroy(error); });
}

QString QMKeychainItem::className() const
{
    return u"QMKeychainItem"_s;
}

std::optional<QStringList> QMKeychainItem::attributeKeys() const
{
    return QStringList {u"label"_s};
}

QVariant QMKeychainItem::valueForKey(const QString &key) const
{
    if (key == u"label"_s)
        return label();
    return QVariant();
}
