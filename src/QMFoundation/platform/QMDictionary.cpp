#include <QMFoundation/platform/QMDictionary.h>

bool QMDictionary::existsKey(const QVariantMap &dictionary, const QString &key)
{
    return dictionary.contains(key);
}

QVariantMap QMDictionary::dictionaryByAddingEntriesFromDictionary(const QVariantMap &dictionary,
                                                                  const QVariantMap &other)
{
    QVariantMap result = dictionary;
    result.insert(other);
    return result;
}

void QMDictionary::setBool(QVariantMap &dictionary, bool value, const QString &key)
{
    dictionary.insert(key, value);
}

void QMDictionary::setInteger(QVariantMap &dictionary, qint64 value, const QString &key)
{
    dictionary.insert(key, value);
}

void QMDictionary::setUnsignedInteger(QVariantMap &dictionary, quint64 value, const QString &key)
{
    dictionary.insert(key, value);
}

void QMDictionary::setDouble(QVariantMap &dictionary, double value, const QString &key)
{
    dictionary.insert(key, value);
}

void QMDictionary::setFloat(QVariantMap &dictionary, float value, const QString &key)
{
    dictionary.insert(key, value);
}
