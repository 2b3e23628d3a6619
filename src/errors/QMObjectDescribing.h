#pragma once

#include "QMFoundationCoreExport.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class QObject;

/// Uniform text descriptions of objects: a list of "key: value" pairs framed by the class
/// name and the object's identity ("0x..." address).
///
/// QObjects are described through the meta-object system: their attribute keys are their
/// Q_PROPERTYs in declaration order (QObject's own "objectName" excluded) and values come from
/// QObject::property(). Plain classes derive from QMObjectDescribing and report their class
/// name, keys and values themselves; they then get the member functions for free.
class QMF_CORE_EXPORT QMObjectDescribing
{
public:
    virtual ~QMObjectDescribing();

    /// The class name shown in descriptions.
    virtual QString className() const = 0;
    /// The ordered attribute names, or std::nullopt when the class exposes none.
    virtual std::optional<QStringList> attributeKeys() const = 0;
    /// The value of a named attribute, or an invalid QVariant.
    virtual QVariant valueForKey(const QString &key) const = 0;

    /// "Class <0x...> {\n\tkey: value,\n\tkey: value\n}"; booleans read "YES"/"NO".
    QString prettyDescription() const;
    /// "Class <0x...> { key: value, key: value }"; booleans read "YES"/"NO".
    QString defaultDescription() const;
    /// "Class <0x...> { key: value, ... }" from items that are attribute names (QString) or
    /// one-entry maps (QVariantMap, whose last key and its value are written as given).
    QString prettyDescriptionWithItems(const QVariantList &items) const;
    /// "Class <0x...> " followed by `dictionary` as indented JSON.
    /// Throws QMInternalInconsistencyException when the dictionary is not a valid JSON object.
    QString prettyDescriptionWithDictionary(const QVariantMap &dictionary) const;

    static QString prettyDescription(const QObject *object);
    static QString defaultDescription(const QObject *object);
    static QString prettyDescriptionWithItems(const QObject *object, const QVariantList &items);
    static QString prettyDescriptionWithDictionary(const QObject *object, const QVariantMap &dictionary);

    /// The value's own description: texts as they are, numbers in their shortest decimal form,
    /// lists as "(\n    a,\n    b\n)", maps as "{\n    key = value;\n}", and "<null>" for an
    /// invalid QVariant or the null marker.
    static QString prettyDescriptionForObject(const QVariant &value);

    /// The identity text used in descriptions: the address with its "0x" prefix.
    static QString identity(const void *object);

protected:
    QMObjectDescribing() = default;
    QMObjectDescribing(const QMObjectDescribing &) = default;
    QMObjectDescribing &operator=(const QMObjectDescribing &) = default;
};

/// "YES" or "NO".
QMF_CORE_EXPORT QString QMStringFromBOOL(bool value);
QString QMStringFromBOOL(const char *) = delete;
