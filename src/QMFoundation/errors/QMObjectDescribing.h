#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class QObject;

/// Uniform text descriptions of objects: a list of "key: value" pairs framed by the class
/// name and the object's identity ("0x..." address).
///
/// QObjects are described through the meta-object system: their attribute keys are their
/// Q_PROPERTYs in declaration order, base classes' first (QObject's own "objectName" excluded),
/// and values come from QObject::property(); a QObject without further properties has an empty
/// key list. Plain classes derive from QMObjectDescribing and report their class name, keys and
/// values themselves; they then get the member functions for free.
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

    /// "Class <0x...> {\n\tkey: value,\n\tkey: value\n}"; booleans read "YES"/"NO", other
    /// values their prettyDescriptionForObject(), an invalid value "(null)". Without attribute
    /// keys (std::nullopt, as opposed to an empty list) the text is "Class <0x...> { }".
    QString prettyDescription() const;
    /// "Class <0x...> { key: value, key: value }", otherwise as prettyDescription().
    QString defaultDescription() const;
    /// "Class <0x...> { key: value, ... }" from items that are attribute names (QString) or
    /// one-entry maps (QVariantMap, whose last key and its value are written as given, without
    /// reading any attribute). Values are not converted to "YES"/"NO" here; an invalid value reads
    /// "(null)". Items of any other type are read as attribute names through their text.
    QString prettyDescriptionWithItems(const QVariantList &items) const;
    /// "Class <0x...> " followed by `dictionary` as indented JSON (without a final line break).
    /// Throws QMInternalInconsistencyException ("Is not a valid JSON object: <description>") when
    /// a value is not JSON: anything but texts, finite numbers, booleans, QMNull() or an invalid
    /// QVariant (both written as null), and lists and maps of those.
    QString prettyDescriptionWithDictionary(const QVariantMap &dictionary) const;

    // The same for QObjects; a null object gives a null QString.

    /// prettyDescription() of a QObject; a null QString for a null object.
    static QString prettyDescription(const QObject *object);
    /// defaultDescription() of a QObject; a null QString for a null object.
    static QString defaultDescription(const QObject *object);
    /// prettyDescriptionWithItems() of a QObject; a null QString for a null object.
    static QString prettyDescriptionWithItems(const QObject *object, const QVariantList &items);
    /// prettyDescriptionWithDictionary() of a QObject; a null QString for a null object.
    static QString prettyDescriptionWithDictionary(const QObject *object,
                                                   const QVariantMap &dictionary);

    /// The value's own description: texts as they are, numbers in their shortest decimal form
    /// (a bool is the number 1 or 0), lists as "(\n    a,\n    b\n)", maps as
    /// "{\n    key = value;\n}" in key order (nested containers indented four more spaces),
    /// and "<null>" for an invalid QVariant or the null marker. Bytes read "<68656c6c 6f>",
    /// dates "yyyy-MM-dd HH:mm:ss +0000" in UTC, URLs their text, QObject pointers
    /// "Class <0x...>"; other types their QVariant::toString() when they have one, else
    /// "<TypeName>". A QMError reads "Error Domain=D Code=N \"description\"", followed by
    /// " UserInfo={...}" when it has user information.
    static QString prettyDescriptionForObject(const QVariant &value);

    /// The identity text used in descriptions: the address with its "0x" prefix.
    static QString identity(const void *object);

protected:
    QMObjectDescribing() = default;
    /// Subclasses copy their described state as they see fit.
    QMObjectDescribing(const QMObjectDescribing &) = default;
    /// Subclasses assign their described state as they see fit.
    QMObjectDescribing &operator=(const QMObjectDescribing &) = default;
};

/// "YES" or "NO".
QMF_CORE_EXPORT QString QMStringFromBOOL(bool value);
QString QMStringFromBOOL(const char *) = delete;
