#include <QMFoundation/errors/QMObjectDescribing.h>

#include "QMFoundation/errors/QMJSONValue_p.h"
#include "QMFoundation/errors/QMNumberKind_p.h"
#include "QMFoundation/errors/QMNumberText_p.h"
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>

#include <QAssociativeIterable>
#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaProperty>
#include <QObject>
#include <QSequentialIterable>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace {

using ValueReader = std::function<QVariant(const QString &)>;

const QString &textForNone()
{
    // What a formatted "%@" of an absent value reads, as opposed to "<null>", the description
    // of the null marker.
    static const QString text = QStringLiteral("(null)");
    return text;
}

QString header(const QString &className, const void *object)
{
    return className + QStringLiteral(" <") + QMObjectDescribing::identity(object)
            + QStringLiteral(">");
}

bool isBoolean(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<bool>();
}

QString itemText(const QString &key, const QVariant &value, bool booleansAsWords)
{
    QString valueText;
    if (!value.isValid())
        valueText = textForNone();
    else if (booleansAsWords && isBoolean(value))
        valueText = QMStringFromBOOL(value.toBool());
    else
        valueText = QMObjectDescribing::prettyDescriptionForObject(value);
    return key + QStringLiteral(": ") + valueText;
}

QStringList attributeItems(const QStringList &keys, const ValueReader &valueForKey)
{
    QStringList items;
    items.reserve(keys.size());
    for (const QString &key : keys)
        items.append(itemText(key, valueForKey(key), true));
    return items;
}

QString prettyDescriptionOf(const QString &className, const void *object,
                            const std::optional<QStringList> &keys, const ValueReader &valueForKey)
{
    if (!keys)
        return header(className, object) + QStringLiteral(" { }");
    return header(className, object) + QStringLiteral(" {\n\t")
            + attributeItems(*keys, valueForKey).join(QStringLiteral(",\n\t"))
            + QStringLiteral("\n}");
}

QString defaultDescriptionOf(const QString &className, const void *object,
                             const std::optional<QStringList> &keys, const ValueReader &valueForKey)
{
    if (!keys)
        return header(className, object) + QStringLiteral(" { }");
    return header(className, object) + QStringLiteral(" { ")
            + attributeItems(*keys, valueForKey).join(QStringLiteral(", ")) + QStringLiteral(" }");
}

QString itemsDescriptionOf(const QString &className, const void *object, const QVariantList &items,
                           const ValueReader &valueForKey)
{
    QStringList pairs;
    pairs.reserve(items.size());
    for (const QVariant &item : items) {
        const QMetaType type = item.metaType();
        if (type == QMetaType::fromType<QVariantMap>()
            || type == QMetaType::fromType<QVariantHash>()) {
            // A pair given explicitly: its last key (in key order) names it, and no attribute
            // is read. An empty map has neither key nor value.
            const QVariantMap pair = item.toMap();
            pairs.append(pair.isEmpty() ? itemText(textForNone(), QVariant(), false)
                                        : itemText(pair.lastKey(), pair.last(), false));
        } else {
            const QString key = item.toString();
            pairs.append(itemText(key, valueForKey(key), false));
        }
    }
    return header(className, object) + QStringLiteral(" { ") + pairs.join(QStringLiteral(", "))
            + QStringLiteral(" }");
}

QString dictionaryDescriptionOf(const QString &className, const void *object,
                                const QVariantMap &dictionary)
{
    // The same rules as the library's JSON transcoding: anything the JSON writer would have to
    // change (a NaN, a date, a QObject pointer) is refused rather than written differently.
    const std::optional<QJsonValue> value = QMJSONValueFromVariant(dictionary);
    if (!value)
        throw QMInternalInconsistencyException(
                QStringLiteral("Is not a valid JSON object: ")
                + QMObjectDescribing::prettyDescriptionForObject(dictionary));
    QString json
            = QString::fromUtf8(QJsonDocument(value->toObject()).toJson(QJsonDocument::Indented));
    if (json.endsWith(u'\n'))
        json.chop(1);
    return header(className, object) + u' ' + json;
}

QString indentation(int level)
{
    return QString(qsizetype(level) * 4, u' ');
}

QString describe(const QVariant &value, int level);

QString describeList(const QVariant &value, int level)
{
    const QSequentialIterable elements = value.value<QSequentialIterable>();
    QStringList lines;
    for (const QVariant &element : elements)
        lines.append(indentation(level + 1) + describe(element, level + 1));
    QString text = QStringLiteral("(\n");
    if (!lines.isEmpty())
        text += lines.join(QStringLiteral(",\n")) + u'\n';
    return text + indentation(level) + u')';
}

QString describeMap(const QVariant &value, int level)
{
    const QAssociativeIterable entries = value.value<QAssociativeIterable>();
    QList<std::pair<QString, QString>> lines;
    for (auto it = entries.begin(); it != entries.end(); ++it)
        lines.append({describe(it.key(), level + 1), describe(it.value(), level + 1)});
    // Hashes have no order of their own; sorting by key text keeps descriptions reproducible
    // and leaves a QVariantMap in its own order.
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QString text = QStringLiteral("{\n");
    for (const auto &[key, valueText] : std::as_const(lines))
        text += indentation(level + 1) + key + QStringLiteral(" = ") + valueText
                + QStringLiteral(";\n");
    return text + indentation(level) + u'}';
}

QString describeBytes(const QByteArray &bytes)
{
    const QByteArray hex = bytes.toHex();
    QString text = QStringLiteral("<");
    for (qsizetype i = 0; i < hex.size(); i += 8) {
        if (i > 0)
            text += u' ';
        text += QString::fromLatin1(hex.mid(i, 8));
    }
    return text + u'>';
}

QString describe(const QVariant &value, int level)
{
    if (!value.isValid() || QMIsNull(value))
        return QStringLiteral("<null>");

    const QMetaType type = value.metaType();
    switch (QMNumberKindOf(value)) {
    case QMNumberKind::Boolean:
        // A boolean is a number here; only attribute descriptions spell it "YES" or "NO".
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMNumberKind::Signed:
        return QString::number(value.toLongLong());
    case QMNumberKind::Unsigned:
        return QString::number(value.toULongLong());
    case QMNumberKind::Floating:
        return type.id() == QMetaType::Float ? QMNumberText::forFloat(value.toFloat())
                                             : QMNumberText::forDouble(value.toDouble());
    case QMNumberKind::NotANumber:
        break;
    }
    switch (type.id()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QByteArray:
        return describeBytes(value.toByteArray());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            return QStringLiteral("<null>");
        return date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                + QStringLiteral(" +0000");
    }
    case QMetaType::QUrl:
        return value.toUrl().toString();
    default:
        break;
    }

    if (type == QMetaType::fromType<QMError>()) {
        // One line per error, so that the errors collected by a validation error stay readable
        // inside their parent's user information.
        const QMError error = value.value<QMError>();
        QString text = QStringLiteral("Error Domain=") + error.domain() + QStringLiteral(" Code=")
                + QString::number(error.code()) + QStringLiteral(" \"")
                + error.localizedDescription() + u'"';
        if (!error.userInfo().isEmpty())
            text += QStringLiteral(" UserInfo=") + describeMap(error.userInfo(), level);
        return text;
    }
    if (type.flags().testFlag(QMetaType::PointerToQObject)) {
        // Only class and identity: a full description could recurse forever through objects
        // that refer to each other.
        const QObject *object = value.value<QObject *>();
        if (!object)
            return QStringLiteral("<null>");
        return header(QString::fromLatin1(object->metaObject()->className()), object);
    }
    if (QMetaType::canConvert(type, QMetaType::fromType<QAssociativeIterable>()))
        return describeMap(value, level);
    if (QMetaType::canConvert(type, QMetaType::fromType<QSequentialIterable>()))
        return describeList(value, level);
    if (value.canConvert<QString>())
        return value.toString();
    return u'<' + QString::fromLatin1(type.name()) + u'>';
}

std::optional<QStringList> propertyKeys(const QObject *object)
{
    // Every declared property of the object's class and of its base classes, except those that
    // QObject itself declares ("objectName").
    const QMetaObject *metaObject = object->metaObject();
    QStringList keys;
    for (int i = QObject::staticMetaObject.propertyCount(); i < metaObject->propertyCount(); ++i)
        keys.append(QString::fromLatin1(metaObject->property(i).name()));
    return keys;
}

ValueReader propertyReader(const QObject *object)
{
    return [object](const QString &key) {
        return object->property(key.toUtf8().constData());
    };
}

QString classNameOf(const QObject *object)
{
    return QString::fromLatin1(object->metaObject()->className());
}

} // namespace

QMObjectDescribing::~QMObjectDescribing() = default;

QString QMObjectDescribing::prettyDescription() const
{
    return prettyDescriptionOf(className(), dynamic_cast<const void *>(this), attributeKeys(),
                               [this](const QString &key) { return valueForKey(key); });
}

QString QMObjectDescribing::defaultDescription() const
{
    return defaultDescriptionOf(className(), dynamic_cast<const void *>(this), attributeKeys(),
                                [this](const QString &key) { return valueForKey(key); });
}

QString QMObjectDescribing::prettyDescriptionWithItems(const QVariantList &items) const
{
    return itemsDescriptionOf(className(), dynamic_cast<const void *>(this), items,
                              [this](const QString &key) { return valueForKey(key); });
}

QString QMObjectDescribing::prettyDescriptionWithDictionary(const QVariantMap &dictionary) const
{
    return dictionaryDescriptionOf(className(), dynamic_cast<const void *>(this), dictionary);
}

QString QMObjectDescribing::prettyDescription(const QObject *object)
{
    if (!object)
        return {};
    return prettyDescriptionOf(classNameOf(object), object, propertyKeys(object),
                               propertyReader(object));
}

QString QMObjectDescribing::defaultDescription(const QObject *object)
{
    if (!object)
        return {};
    return defaultDescriptionOf(classNameOf(object), object, propertyKeys(object),
                                propertyReader(object));
}

QString QMObjectDescribing::prettyDescriptionWithItems(const QObject *object,
                                                       const QVariantList &items)
{
    if (!object)
        return {};
    return itemsDescriptionOf(classNameOf(object), object, items, propertyReader(object));
}

QString QMObjectDescribing::prettyDescriptionWithDictionary(const QObject *object,
                                                            const QVariantMap &dictionary)
{
    if (!object)
        return {};
    return dictionaryDescriptionOf(classNameOf(object), object, dictionary);
}

QString QMObjectDescribing::prettyDescriptionForObject(const QVariant &value)
{
    return describe(value, 0);
}

QString QMObjectDescribing::identity(const void *object)
{
    return QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(object), 16);
}

QString QMStringFromBOOL(bool value)
{
    return value ? QStringLiteral("YES") : QStringLiteral("NO");
}
